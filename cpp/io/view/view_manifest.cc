// The view manifest: where it lives and the two numbers read from it.

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "io/read/positional.h"
#include "io/read/file.h"
#include "io/view/view.h"
#include "core/json_values.h"

namespace quandrel::io {

namespace {

constexpr std::size_t kReadChunk = 65536;

bool is_absent(const IoError& e) {
  const int code = e.os_code();
  // ENAMETOOLONG: a view name near the limit leaves no room for the
  // manifest's longer name, so no such manifest can exist.
  return e.kind() == IoError::Kind::kOs &&
         (code == ENOENT || code == ENOTDIR || code == ENAMETOOLONG);
}

// At most kManifestMaxBytes + 1 bytes: one more than a manifest may hold, so
// that a longer file is told from one of exactly the limit.
Result<std::string> read_capped(const File& file) {
  std::string text;
  std::size_t size = 0;
  while (size <= kManifestMaxBytes) {
    const std::size_t want = std::min(kReadChunk, kManifestMaxBytes + 1 - size);
    text.resize(size + want);
    auto* at = reinterpret_cast<std::byte*>(text.data()) + size;
    Result<std::size_t> n = fill_at(file.fd(), {at, want}, size);
    if (!n) return n.error();
    size += *n;
    if (*n < want) break;
  }
  text.resize(size);
  return text;
}

// Why `text` is not a manifest, or "" when it is one; `slot` gets every value
// the text gives.
std::string describe(const std::string& text, SlotInfo& slot) {
  if (text.size() > kManifestMaxBytes) return "larger than 1 MiB";
  // The parser skips a leading byte-order mark; a manifest allows nothing
  // before its value but white space, so one makes it malformed.
  if (text.starts_with("\xEF\xBB\xBF")) return "not valid JSON: it starts with a byte-order mark";
  nlohmann::json doc;
  try {
    doc = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    // A syntax error, or a number too large for a double ("number overflow
    // parsing '1E+400'"): either way the text is no manifest.
    return "not valid JSON: " + json_error_text(e);
  }
  if (!doc.is_object()) {
    return std::string("the top-level value is not an object (it is ") + doc.type_name() + ")";
  }
  std::string problems;
  slot.slot_bytes = unsigned_key(doc, "slot_bytes", problems).value_or(kDefaultSlotBytes);
  slot.grans = unsigned_key(doc, "grans", problems).value_or(0);
  return problems;
}

}  // namespace

// The final component is found as a path library would: trailing slashes and
// "." components name the same file, so "dir/records.bin/" and
// "dir/records.bin/." give "dir/records.manifest.json", the trailing part
// dropped. A path whose last component is "..", a lone ".", empty or only
// slashes has no file name and is returned unchanged.
std::string manifest_path(const std::string& view_path) {
  std::string_view p = view_path;
  for (;;) {
    while (!p.empty() && p.back() == '/') p.remove_suffix(1);
    if (!p.ends_with("/.")) break;
    p.remove_suffix(1);
  }
  const std::size_t slash = p.rfind('/');
  const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  const std::string_view name = p.substr(start);
  if (name.empty() || name == "." || name == "..") return view_path;

  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) {
    return std::string(p) + ".manifest.json";
  }
  return std::string(p.substr(0, start + dot + 1)) + "manifest.json";
}

Result<ManifestInfo> read_manifest(const std::string& view_path) {
  ManifestInfo info;
  info.path = manifest_path(view_path);
  // Without a file name the "manifest" would be the view path itself.
  if (info.path == view_path) return info;
  Result<File> file = File::open_read_only(info.path);
  if (!file) {
    if (is_absent(file.error())) return info;
    return IoError(file.error()).with_path("manifest", info.path);
  }
  Result<std::string> text = read_capped(*file);
  if (!text) return IoError(text.error()).with_path("manifest", info.path);
  info.reason = describe(*text, info.slot);
  info.state = info.reason.empty() ? ManifestInfo::State::kUsed : ManifestInfo::State::kIgnored;
  return info;
}

}  // namespace quandrel::io
