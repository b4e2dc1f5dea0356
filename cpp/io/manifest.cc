// The view manifest: where it lives and the two numbers read from it.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "io/backend.h"
#include "io/file.h"
#include "io/view.h"

namespace quandrel::io {

namespace {

constexpr std::size_t kReadChunk = 8192;

// The whole file, or "" when it cannot be opened or read to its end: a
// manifest that cannot be read describes nothing, like a missing one.
std::string read_whole_file(const std::string& path) {
  Result<File> file = File::open_read_only(path);
  if (!file) return {};
  std::string text;
  std::size_t size = 0;
  for (;;) {
    text.resize(size + kReadChunk);
    auto* at = reinterpret_cast<std::byte*>(text.data()) + size;
    Result<std::size_t> n = read_at(file->fd(), {at, kReadChunk}, size);
    if (!n) return {};
    if (*n == 0) break;
    size += *n;
  }
  text.resize(size);
  return text;
}

// Only an integer written without sign, fraction or exponent that fits in 64
// bits counts; "-0", 4096.0, 4e3 and 2^64 parse as other number kinds.
std::optional<std::uint64_t> unsigned_key(const nlohmann::json& doc, const char* key) {
  const auto it = doc.find(key);
  if (it == doc.end() || !it->is_number_unsigned()) return std::nullopt;
  return it->get<std::uint64_t>();
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

// A manifest that is missing, unreadable or a directory reads as "", which
// does not parse; so one path covers every way it can be absent.
SlotInfo slot_of(const std::string& view_path) {
  SlotInfo info;
  const std::string text = read_whole_file(manifest_path(view_path));
  // The parser skips a leading byte-order mark; a manifest allows nothing
  // before its value but white space, so one makes it malformed.
  if (text.starts_with("\xEF\xBB\xBF")) return info;
  const nlohmann::json doc = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object()) return info;
  info.slot_bytes = unsigned_key(doc, "slot_bytes").value_or(kDefaultSlotBytes);
  info.grans = unsigned_key(doc, "grans").value_or(0);
  return info;
}

}  // namespace quandrel::io
