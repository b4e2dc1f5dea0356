#include "io/store/shard_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace quandrel::io {
namespace {

// Following symbolic links, so that a dangling link counts as absent.
bool exists(const std::string& path) {
  struct stat st;
  return path.find('\0') == std::string::npos && ::stat(path.c_str(), &st) == 0;
}

// The note of a shard file that does not open: where the user can act. A
// directory that is missing or not a directory is named as such (not the
// shard path inside it that nobody made), and a missing shard names both
// names looked for.
IoError shard_open_error(IoError error, const std::string& dir, std::uint64_t shard) {
  const int code = error.os_code();
  if (code != ENOENT && code != ENOTDIR) return error;
  const std::string where = dir.empty() ? "." : dir;
  struct stat st;
  if (::stat(where.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      return std::move(error).with_path("store directory", where + " (missing)");
    }
  } else if (!S_ISDIR(st.st_mode)) {
    return std::move(error).with_path("store directory", where + " (not a directory)");
  }
  if (code == ENOTDIR) return error;
  return std::move(error).with_path("shard file", "neither " + shard_file_name("shard_", shard) +
                                                      " nor " + shard_file_name("ziruv_", shard) +
                                                      " in " + where);
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
    const std::string path = shard_path(dir, i);
    Result<ReadFile> file = ReadFile::open(path, "shard file", mode);
    // Returning destroys `files`, closing them in order.
    if (!file) return shard_open_error(file.error(), dir, i);
    files.push_back(std::move(*file));
  }
  return ShardStore(std::move(files), layout, std::move(backend));
}

bool ShardStore::mapped() const {
  return std::any_of(files_.begin(), files_.end(), [](const ReadFile& f) { return f.mapped(); });
}

}  // namespace quandrel::io
