// Parsing a fuzzed store manifest. A text the parser accepts must describe a
// table whose manifest, written again, parses to the same table: the
// parser's checks and the writer's output agree on what a manifest is.

#include <cstddef>
#include <cstdint>
#include <string>

#include "common.h"
#include "io/table/store_manifest.h"

namespace {

using namespace quandrel::io;

bool same(const StoreManifest& a, const StoreManifest& b) {
  if (!(a.geometry == b.geometry) || a.chunk_bytes != b.chunk_bytes || a.files.size() != b.files.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.files.size(); ++i) {
    const ShardFile &x = a.files[i], &y = b.files[i];
    if (x.name != y.name || x.bytes != y.bytes || x.chunks != y.chunks) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  StoreManifest parsed;
  if (!parse_store_manifest(text, parsed).empty()) return 0;
  if (parsed.files.size() != parsed.geometry.shards) quandrel::fuzz::mismatch("file count");
  StoreManifest again;
  const std::string problem = parse_store_manifest(manifest_json(parsed), again);
  if (!problem.empty()) quandrel::fuzz::mismatch("rewritten manifest refused:", problem);
  if (!same(parsed, again)) quandrel::fuzz::mismatch("rewritten manifest differs");
  return 0;
}
