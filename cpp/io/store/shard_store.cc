#include "io/store/shard_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

namespace quandrel::io {
namespace {

// Following symbolic links, so that a dangling link counts as absent.
bool exists(const std::string& path) {
  struct stat st;
  return path.find('\0') == std::string::npos && ::stat(path.c_str(), &st) == 0;
}

// Room for the shard files, without trusting a shard count that no
// directory could satisfy: the descriptor limit ends the open long before.
constexpr std::uint64_t kReserveLimit = 4096;

}  // namespace

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + '/' + name;
}

std::string shard_file_name(const char* prefix, std::uint64_t shard) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%03llu", static_cast<unsigned long long>(shard));
  return std::string(prefix) + digits + ".bin";
}

std::string shard_path(const std::string& dir, std::uint64_t shard) {
  std::string path = join_path(dir, shard_file_name("shard_", shard));
  return exists(path) ? path : join_path(dir, shard_file_name("ziruv_", shard));
}

Result<ShardStore> ShardStore::open(const std::string& dir, const Layout& layout, ReaderMode mode,
                                    std::shared_ptr<const IoBackend> backend) {
  std::vector<ReadFile> files;
  files.reserve(std::min(layout.shards, kReserveLimit));
  for (std::uint64_t i = 0; i < layout.shards; ++i) {
    Result<ReadFile> file = ReadFile::open(shard_path(dir, i), "shard file", mode);
    // Returning destroys `files`, closing them in order.
    if (!file) return file.error();
    files.push_back(std::move(*file));
  }
  return ShardStore(std::move(files), layout, std::move(backend));
}

bool ShardStore::mapped() const {
  return std::any_of(files_.begin(), files_.end(), [](const ReadFile& f) { return f.mapped(); });
}

}  // namespace quandrel::io
