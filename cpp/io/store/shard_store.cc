#include "io/store/shard_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

namespace quandrel::io {
namespace {

std::string join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + '/' + name;
}

// Following symbolic links, so that a dangling link counts as absent.
bool exists(const std::string& path) {
  struct stat st;
  return path.find('\0') == std::string::npos && ::stat(path.c_str(), &st) == 0;
}

// Room for the shard files, without trusting a shard count that no
// directory could satisfy: the descriptor limit ends the open long before.
constexpr std::uint64_t kReserveLimit = 4096;

}  // namespace

std::string shard_file_name(const char* prefix, std::uint64_t shard) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%03llu", static_cast<unsigned long long>(shard));
  return std::string(prefix) + digits + ".bin";
}

Result<ShardStore> ShardStore::open(const std::string& dir, const Layout& layout,
                                      ReaderMode mode) {
  Result<ShardStore> g = open_with_backend(dir, layout, std::make_unique<PreadBackend>());
  if (!g || mode == ReaderMode::kPread) return g;
  std::vector<Mapping> maps(g->files_.size());
  for (std::size_t s = 0; s < maps.size(); ++s) {
    const int fd = g->files_[s].fd();
    if (mode == ReaderMode::kAuto && !mapping_advised(fd)) continue;
    if (Result<Mapping> m = Mapping::open(fd)) maps[s] = std::move(*m);
  }
  g->maps_ = std::move(maps);
  return g;
}

Result<ShardStore> ShardStore::open_with_backend(const std::string& dir, const Layout& layout,
                                                   std::unique_ptr<IoBackend> backend) {
  std::vector<File> files;
  files.reserve(std::min(layout.shards, kReserveLimit));
  for (std::uint64_t i = 0; i < layout.shards; ++i) {
    const std::string shard_path = join(dir, shard_file_name("shard_", i));
    const std::string path = exists(shard_path) ? shard_path : join(dir, shard_file_name("ziruv_", i));
    Result<File> file = File::open_read_only(path);
    // Returning destroys `files` (closing them in order) and the backend.
    if (!file) return IoError(file.error()).with_path("shard file", path);
    files.push_back(std::move(*file));
  }
  return ShardStore(std::move(files), {}, layout, std::move(backend));
}

ShardStore::~ShardStore() {
  maps_.clear();  // before the descriptors they borrow
  for (File& f : files_) f = File();  // closed in shard order
  backend_.reset();
}

}  // namespace quandrel::io
