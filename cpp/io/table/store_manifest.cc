#include "io/table/store_manifest.h"

#include <sys/stat.h>

#include <cerrno>

#include "io/read/positional.h"
#include "io/read/file.h"
#include "core/json_values.h"
#include "io/store/shard_store.h"

namespace quandrel::io {
namespace {

using Json = nlohmann::json;
constexpr int kFormatVersion = 1;
constexpr char kFormat[] = "quandrel-store";

// A name that stays inside the table's directory whatever the directory is.
bool plain_file_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

std::string quoted_name(const std::string& s) { return shown(Json(s)); }

// Checks files[i] against the geometry and fills `f`; "" when it is sound.
std::string parse_file(const Json& entry, std::uint64_t i, const StoreManifest& m, ShardFile& f) {
  const std::string where = "files[" + std::to_string(i) + "]";
  if (!entry.is_object()) return where + " is not an object";
  const auto name = entry.find("name");
  if (name == entry.end() || !name->is_string()) return where + ".name is missing or not a string";
  f.name = name->get<std::string>();
  if (!plain_file_name(f.name)) {
    return where + ".name is not a plain file name inside the table's directory (it is " +
           quoted_name(f.name) + ")";
  }
  const std::string first = shard_file_name("shard_", i), second = shard_file_name("ziruv_", i);
  if (f.name != first && f.name != second) {
    return where + ".name is " + quoted_name(f.name) + ", not " + first + " or " + second;
  }
  std::string problem;
  const std::optional<std::uint64_t> bytes = unsigned_key(entry, "bytes", problem);
  if (!problem.empty()) return where + "." + problem;
  if (!bytes) return where + ".bytes is missing";
  if (*bytes != m.geometry.shard_bytes()) {
    return where + ".bytes is " + std::to_string(*bytes) + ", not the " +
           std::to_string(m.geometry.shard_bytes()) + " of " + m.geometry.text();
  }
  f.bytes = *bytes;
  const auto chunks = entry.find("chunks");
  if (chunks == entry.end() || !chunks->is_array()) return where + ".chunks is missing or not a list";
  const std::uint64_t expected = chunk_count(f.bytes, m.chunk_bytes);
  if (chunks->size() != expected) {
    return where + ".chunks has " + std::to_string(chunks->size()) + " digests, not " +
           std::to_string(expected);
  }
  f.chunks.reserve(expected);
  for (std::size_t c = 0; c < chunks->size(); ++c) {
    const Json& hex = (*chunks)[c];
    std::optional<Digest128> d;
    if (hex.is_string()) d = digest_from_hex(hex.get_ref<const std::string&>());
    if (!d) {
      return where + ".chunks[" + std::to_string(c) + "] is not 32 lowercase hex digits (it is " +
             shown(hex) + ")";
    }
    f.chunks.push_back(*d);
  }
  return "";
}

std::string parse_document(const Json& doc, StoreManifest& m) {
  if (!doc.is_object()) return std::string("the top-level value is not an object (it is ") + doc.type_name() + ")";
  const auto format = doc.find("format");
  if (format == doc.end() || *format != kFormat) return std::string("format is not \"") + kFormat + "\"";
  std::string problems;
  const auto version = unsigned_key(doc, "format_version", problems);
  const auto shards = unsigned_key(doc, "shards", problems);
  const auto rows = unsigned_key(doc, "rows_per_shard", problems);
  const auto width = unsigned_key(doc, "width", problems);
  const auto chunk = unsigned_key(doc, "chunk_bytes", problems);
  if (!problems.empty()) return problems;
  for (const char* key : {"format_version", "shards", "rows_per_shard", "width", "chunk_bytes"}) {
    if (!doc.contains(key)) return std::string(key) + " is missing";
  }
  if (*version != kFormatVersion) {
    return "format_version " + std::to_string(*version) + " is not supported (this library reads " +
           std::to_string(kFormatVersion) + ")";
  }
  m.geometry = {*shards, *rows, *width};
  if (std::string p = geometry_problem(m.geometry); !p.empty()) return p;
  if (*chunk == 0 || *chunk > kChunkBytes) {
    return "chunk_bytes " + std::to_string(*chunk) + " is not from 1 to " + std::to_string(kChunkBytes);
  }
  m.chunk_bytes = *chunk;
  const auto digest = doc.find("digest");
  if (digest == doc.end() || *digest != kDigestName) return std::string("digest is not \"") + kDigestName + "\"";
  const auto files = doc.find("files");
  if (files == doc.end() || !files->is_array()) return "files is missing or not a list";
  if (files->size() != m.geometry.shards) {
    return "files has " + std::to_string(files->size()) + " entries for " +
           std::to_string(m.geometry.shards) + " shards";
  }
  m.files.resize(files->size());
  for (std::size_t i = 0; i < files->size(); ++i) {
    if (std::string p = parse_file((*files)[i], i, m, m.files[i]); !p.empty()) return p;
  }
  return "";
}

}  // namespace

std::string StoreGeometry::text() const {
  return std::to_string(shards) + " shards of " + std::to_string(rows_per_shard) + " rows x " +
         std::to_string(width) + " bytes";
}

std::string geometry_problem(const StoreGeometry& g) {
  std::uint64_t shard_bytes = 0, total = 0;
  if (__builtin_mul_overflow(g.rows_per_shard, g.width, &shard_bytes) ||
      __builtin_mul_overflow(shard_bytes, g.shards, &total)) {
    return "a table of " + g.text() + " does not fit in 2^64 bytes";
  }
  return "";
}

std::string store_manifest_path(const std::string& dir) { return join_path(dir, kStoreManifestName); }

std::string manifest_json(const StoreManifest& m) {
  nlohmann::ordered_json doc;
  doc["format"] = kFormat;
  doc["format_version"] = kFormatVersion;
  doc["shards"] = m.geometry.shards;
  doc["rows_per_shard"] = m.geometry.rows_per_shard;
  doc["width"] = m.geometry.width;
  doc["chunk_bytes"] = m.chunk_bytes;
  doc["digest"] = kDigestName;
  doc["files"] = nlohmann::ordered_json::array();
  for (const ShardFile& f : m.files) {
    nlohmann::ordered_json entry;
    entry["name"] = f.name;
    entry["bytes"] = f.bytes;
    entry["chunks"] = nlohmann::ordered_json::array();
    for (const Digest128& d : f.chunks) entry["chunks"].push_back(to_hex(d));
    doc["files"].push_back(std::move(entry));
  }
  return doc.dump();
}

std::string parse_store_manifest(const std::string& text, StoreManifest& out) {
  Json doc;
  try {
    doc = Json::parse(text);
  } catch (const Json::exception& e) {
    return "not valid JSON: " + json_error_text(e);
  }
  return parse_document(doc, out);
}

Result<LoadedManifest> load_store_manifest(const std::string& dir) {
  const std::string path = store_manifest_path(dir);
  Result<File> file = File::open_read_only(path);
  if (!file) return IoError(file.error()).with_path("store manifest", path);
  struct stat st;
  if (::fstat(file->fd(), &st) != 0) return IoError::last_os().with_path("store manifest", path);
  LoadedManifest loaded;
  if (!S_ISREG(st.st_mode)) {
    loaded.problem = "not a regular file";
  } else if (static_cast<std::uint64_t>(st.st_size) > kStoreManifestMaxBytes) {
    loaded.problem = "larger than " + std::to_string(kStoreManifestMaxBytes >> 20) + " MiB (" +
                     std::to_string(st.st_size) + " bytes)";
  } else {
    // At most the size just seen: a file that grows meanwhile is cut there.
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    Result<std::size_t> n = fill_at(file->fd(), {reinterpret_cast<std::byte*>(text.data()), text.size()}, 0);
    if (!n) return IoError(n.error()).with_path("store manifest", path);
    text.resize(*n);
    loaded.problem = parse_store_manifest(text, loaded.manifest);
  }
  if (!loaded.problem.empty()) loaded.problem = path + ": " + loaded.problem;
  return loaded;
}

std::string size_problem(const ShardFile& f, std::uint64_t actual) {
  if (actual == f.bytes) return "";
  return f.name + ": " + std::to_string(actual) + " bytes, the manifest says " + std::to_string(f.bytes);
}

std::string name_problem(const std::string& dir, std::uint64_t shard, const ShardFile& f) {
  // A ziruv_ file the manifest describes, shadowed by a shard_ file.
  const std::string opened = shard_path(dir, shard);
  if (opened == join_path(dir, f.name)) return "";
  return "shard " + std::to_string(shard) + ": the manifest describes " + f.name +
         ", but the store opens " + opened;
}

Result<std::string> file_size_problem(const std::string& dir, const StoreManifest& m) {
  for (std::uint64_t i = 0; i < m.files.size(); ++i) {
    const ShardFile& f = m.files[i];
    const std::string path = join_path(dir, f.name);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return IoError::last_os().with_path("shard file", path);
    if (std::string p = size_problem(f, static_cast<std::uint64_t>(st.st_size)); !p.empty()) return p;
    if (std::string p = name_problem(dir, i, f); !p.empty()) return p;
  }
  return std::string();
}

bool is_absent(const IoError& e) {
  return e.kind() == IoError::Kind::kOs && (e.os_code() == ENOENT || e.os_code() == ENOTDIR);
}

Result<std::string> geometry_mismatch(const std::string& dir, const StoreGeometry& g) {
  Result<LoadedManifest> loaded = load_store_manifest(dir);
  if (!loaded) {
    // No manifest: a table written by something else, valid as ever.
    if (is_absent(loaded.error())) return std::string();
    return loaded.error();
  }
  if (!loaded->problem.empty()) return loaded->problem;
  const StoreGeometry& found = loaded->manifest.geometry;
  if (found == g) return std::string();
  return "the table in " + dir + " is " + found.text() + " (" + kStoreManifestName +
         "), not " + g.text();
}

}  // namespace quandrel::io
