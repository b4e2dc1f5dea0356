#include "io/table/store_writer.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>

#include "core/messages.h"
#include "io/read/positional.h"
#include "io/store/shard_store.h"

namespace quandrel::io {
namespace {

constexpr std::size_t kMaxTransfer = 0x7ffff000;  // the most one write moves on Linux

Result<void> write_all_at(int fd, std::span<const std::byte> bytes, std::uint64_t offset) {
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd, bytes.data(), std::min(bytes.size(), kMaxTransfer),
                               static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return IoError::last_os();
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return {};
}

Result<void> sync(int fd) {
  int r;
  do {
    r = ::fsync(fd);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return IoError::last_os();
  return {};
}

Result<File> open_dir(int at, const char* path) {
  const int fd = ::openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return IoError::last_os();
  return File(fd);
}

std::string random_hex() {
  std::uint64_t v = 0;
  if (::getrandom(&v, sizeof v, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof v)) {
    v = (std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

// Beside the table, hidden, and unique to this writer: one killed midway
// leaves a name no later writer to the same table will pick. The table's
// name is cut so that the whole stays within a file name's limit.
std::string staging_name(const std::string& name) {
  std::string staging(".");
  staging += name.substr(0, 160);
  staging += ".staging-" + std::to_string(::getpid()) + "-" + random_hex();
  return staging;
}

// RENAME_NOREPLACE: fails with EEXIST where a plain rename would replace an
// empty directory.
int rename_no_replace(int dir_fd, const char* from, const char* to) {
#ifdef SYS_renameat2
  return static_cast<int>(::syscall(SYS_renameat2, dir_fd, from, dir_fd, to, 1u /* RENAME_NOREPLACE */));
#else
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace

std::string StoreWriter::geometry_problem(const StoreGeometry& g) {
  if (std::string p = io::geometry_problem(g); !p.empty()) return p;
  // An upper bound of the manifest's length: a file entry and its size take
  // under 100 bytes, a chunk's digest 35.
  const unsigned __int128 chunks = static_cast<unsigned __int128>(g.shards) * chunk_count(g.shard_bytes(), kChunkBytes);
  const unsigned __int128 bytes = 200 + static_cast<unsigned __int128>(g.shards) * 100 + chunks * 35;
  if (bytes > kStoreManifestMaxBytes) {
    return "a table of " + g.text() + " needs a manifest longer than the " +
           std::to_string(kStoreManifestMaxBytes >> 20) + " MiB a reader accepts";
  }
  return "";
}

Result<StoreWriter> StoreWriter::create(const std::string& dir, const StoreGeometry& g) {
  if (!geometry_problem(g).empty()) fault("StoreWriter::create: a geometry it cannot write");
  std::string path = dir;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  auto failed = [&](IoError e) { return std::move(e).with_path("table directory", dir); };
  if (std::memchr(dir.data(), '\0', dir.size()) != nullptr) {
    return failed(IoError::invalid_input(msg::kNulInFileName));
  }
  if (name.empty()) return failed(IoError::os(ENOENT));
  // "/", ".", "..": always there.
  if (name == "/" || name == "." || name == "..") return failed(IoError::os(EEXIST));
  Result<File> parent_fd = open_dir(AT_FDCWD, parent.c_str());
  if (!parent_fd) return failed(parent_fd.error());
  struct stat st;
  if (::fstatat(parent_fd->fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    return failed(IoError::os(EEXIST));
  }
  if (errno != ENOENT) return failed(IoError::last_os());

  StoreWriter w(dir, name, std::move(*parent_fd), g);
  w.chunks_per_shard_ = chunk_count(g.shard_bytes(), kChunkBytes);
  const std::string staging = staging_name(name);
  if (::mkdirat(w.parent_.fd(), staging.c_str(), 0777) != 0) return failed(IoError::last_os());
  // From here on the destructor of `w` removes the staging directory.
  w.staging_ = staging;
  w.staging_path_ = join_path(parent, staging);
  Result<File> staging_fd = open_dir(w.parent_.fd(), staging.c_str());
  if (!staging_fd) return failed(staging_fd.error());
  w.staging_fd_ = std::move(*staging_fd);
  w.files_.reserve(std::min<std::uint64_t>(g.shards, 4096));
  for (std::uint64_t s = 0; s < g.shards; ++s) {
    const std::string file = shard_file_name("shard_", s);
    const int fd = ::openat(w.staging_fd_.fd(), file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return IoError::last_os().with_path("shard file", w.staged_path(file));
    w.files_.emplace_back(fd);
    // Sparse: rows never written read as zeros and take no room.
    if (::ftruncate(fd, static_cast<off_t>(g.shard_bytes())) != 0) {
      return IoError::last_os().with_path("shard file", w.staged_path(file));
    }
  }
  w.chunk_state_.assign(g.shards * w.chunks_per_shard_, Chunk::kZero);
  w.chunk_digest_.resize(w.chunk_state_.size());
  return w;
}

StoreWriter::~StoreWriter() { (void)abort(); }

std::string StoreWriter::staged_path(const std::string& name) const {
  return join_path(staging_path_, name);
}

std::string StoreWriter::write_problem(std::uint64_t start_row, std::size_t bytes) const {
  const std::uint64_t width = geometry_.width;
  if (bytes == 0) return "";
  if (width == 0 || bytes % width != 0) {
    return "rows: " + std::to_string(bytes) + " bytes is not a whole number of rows of " +
           std::to_string(width) + " bytes";
  }
  const std::uint64_t total = geometry_.shards * geometry_.rows_per_shard;
  const std::uint64_t rows = bytes / width;
  if (start_row > total || rows > total - start_row) {
    return std::to_string(rows) + " rows from row " + std::to_string(start_row) +
           " run past the table's " + std::to_string(total) + " rows";
  }
  return "";
}

std::string StoreWriter::write_at_problem(std::span<const std::uint64_t> rowids, std::size_t bytes) const {
  const unsigned __int128 expected = static_cast<unsigned __int128>(rowids.size()) * geometry_.width;
  if (expected != bytes) {
    return "rows: " + std::to_string(bytes) + " bytes for " + std::to_string(rowids.size()) +
           " row ids of " + std::to_string(geometry_.width) + " bytes";
  }
  const std::uint64_t total = geometry_.shards * geometry_.rows_per_shard;
  for (std::size_t i = 0; i < rowids.size(); ++i) {
    if (rowids[i] >= total) {
      return "rowids[" + std::to_string(i) + "] = " + std::to_string(rowids[i]) +
             " lies past the table's " + std::to_string(total) + " rows";
    }
  }
  return "";
}

// Chunks wholly covered get their digest from the caller's bytes, so a table
// written in order is never read back; chunks only partly covered are read
// back at commit.
Result<void> StoreWriter::put(std::uint64_t shard, std::uint64_t offset, std::span<const std::byte> bytes) {
  const std::uint64_t end = offset + bytes.size();
  const std::uint64_t first = offset / kChunkBytes, last = chunk_count(end, kChunkBytes);
  Chunk* state = chunk_state_.data() + shard * chunks_per_shard_;
  // Stale before the write: a failed write leaves them to be read back.
  for (std::uint64_t c = first; c < last; ++c) state[c] = Chunk::kStale;
  if (Result<void> w = write_all_at(files_[shard].fd(), bytes, offset); !w) {
    return IoError(w.error()).with_path("shard file", staged_path(shard_file_name("shard_", shard)));
  }
  const std::uint64_t shard_end = geometry_.shard_bytes();
  for (std::uint64_t c = first; c < last; ++c) {
    const std::uint64_t lo = c * kChunkBytes, hi = std::min(lo + kChunkBytes, shard_end);
    if (lo < offset || hi > end) continue;
    chunk_digest_[shard * chunks_per_shard_ + c] = digest128(bytes.subspan(lo - offset, hi - lo));
    state[c] = Chunk::kKnown;
  }
  return {};
}

Result<void> StoreWriter::write(std::uint64_t start_row, std::span<const std::byte> rows) {
  if (state_ != State::kOpen || !write_problem(start_row, rows.size()).empty()) {
    fault("StoreWriter::write: called on a closed writer or with rows outside the table");
  }
  const std::uint64_t width = geometry_.width, per_shard = geometry_.rows_per_shard;
  std::uint64_t row = start_row;
  while (!rows.empty()) {
    const std::uint64_t shard = row / per_shard, in_shard = row % per_shard;
    const std::uint64_t n = std::min<std::uint64_t>(rows.size() / width, per_shard - in_shard);
    if (Result<void> ok = put(shard, in_shard * width, rows.first(n * width)); !ok) return ok;
    rows = rows.subspan(n * width);
    row += n;
  }
  return {};
}

Result<void> StoreWriter::write_at(std::span<const std::uint64_t> rowids, std::span<const std::byte> rows) {
  if (state_ != State::kOpen || !write_at_problem(rowids, rows.size()).empty()) {
    fault("StoreWriter::write_at: called on a closed writer or with rows outside the table");
  }
  const std::uint64_t width = geometry_.width, per_shard = geometry_.rows_per_shard;
  // Runs of consecutive ids in one shard go out as one write.
  for (std::size_t i = 0; i < rowids.size();) {
    const std::uint64_t shard = rowids[i] / per_shard;
    std::size_t j = i + 1;
    while (j < rowids.size() && rowids[j] == rowids[j - 1] + 1 && rowids[j] / per_shard == shard) ++j;
    const Result<void> ok = put(shard, (rowids[i] % per_shard) * width, rows.subspan(i * width, (j - i) * width));
    if (!ok) return ok;
    i = j;
  }
  return {};
}

Result<void> StoreWriter::finish_shard(std::uint64_t shard, std::vector<std::byte>& buffer) {
  const int fd = files_[shard].fd();
  const std::string path = staged_path(shard_file_name("shard_", shard));
  std::map<std::uint64_t, Digest128> zeros;  // by length: at most two lengths
  for (std::uint64_t c = 0; c < chunks_per_shard_; ++c) {
    const std::size_t i = shard * chunks_per_shard_ + c;
    if (chunk_state_[i] == Chunk::kKnown) continue;
    const std::uint64_t lo = c * kChunkBytes;
    const std::span<std::byte> chunk(buffer.data(), std::min(kChunkBytes, geometry_.shard_bytes() - lo));
    if (chunk_state_[i] == Chunk::kZero) {
      auto [at, fresh] = zeros.try_emplace(chunk.size());
      if (fresh) {
        std::fill(chunk.begin(), chunk.end(), std::byte{0});
        at->second = digest128(chunk);
      }
      chunk_digest_[i] = at->second;
    } else {
      if (Result<void> r = read_exact_at(fd, chunk, lo); !r) return IoError(r.error()).with_path("shard file", path);
      chunk_digest_[i] = digest128(chunk);
    }
    chunk_state_[i] = Chunk::kKnown;
  }
  if (Result<void> r = sync(fd); !r) return IoError(r.error()).with_path("shard file", path);
  return {};
}

Result<void> StoreWriter::write_manifest() {
  StoreManifest m;
  m.geometry = geometry_;
  m.files.resize(geometry_.shards);
  for (std::uint64_t s = 0; s < geometry_.shards; ++s) {
    m.files[s].name = shard_file_name("shard_", s);
    m.files[s].bytes = geometry_.shard_bytes();
    const auto first = chunk_digest_.begin() + static_cast<std::ptrdiff_t>(s * chunks_per_shard_);
    m.files[s].chunks.assign(first, first + static_cast<std::ptrdiff_t>(chunks_per_shard_));
  }
  const std::string text = manifest_json(m);
  const std::string path = staged_path(kStoreManifestName);
  const int fd = ::openat(staging_fd_.fd(), kStoreManifestName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return IoError::last_os().with_path("store manifest", path);
  File file(fd);
  Result<void> r = write_all_at(fd, std::as_bytes(std::span(text)), 0);
  if (r) r = sync(fd);
  if (!r) return IoError(r.error()).with_path("store manifest", path);
  return {};
}

// The table appears whole or not at all, and never in place of anything.
Result<void> StoreWriter::publish() {
  const int parent = parent_.fd();
  if (rename_no_replace(parent, staging_.c_str(), name_.c_str()) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS) return IoError::last_os();
  // A file system without RENAME_NOREPLACE: claim the name with mkdir,
  // which fails on anything there, then replace that empty claim.
  if (::mkdirat(parent, name_.c_str(), 0777) != 0) return IoError::last_os();
  if (::renameat(parent, staging_.c_str(), parent, name_.c_str()) == 0) return {};
  const IoError e = IoError::last_os();
  ::unlinkat(parent, name_.c_str(), AT_REMOVEDIR);
  return e;
}

Result<void> StoreWriter::commit() {
  if (state_ != State::kOpen) fault("StoreWriter::commit: the writer is closed");
  Result<void> r;
  {
    std::vector<std::byte> buffer(std::min(kChunkBytes, std::max<std::uint64_t>(geometry_.shard_bytes(), 1)));
    for (std::uint64_t s = 0; s < geometry_.shards && r; ++s) r = finish_shard(s, buffer);
  }
  if (r) r = write_manifest();
  if (r) {
    if (Result<void> synced = sync(staging_fd_.fd()); !synced) r = IoError(synced.error()).with_path("staging directory", staging_path_);
  }
  if (r) {
    if (Result<void> published = publish(); !published) r = IoError(published.error()).with_path("table directory", dir_);
  }
  if (!r) {
    (void)abort();
    return r;
  }
  state_ = State::kCommitted;
  files_.clear();
  staging_fd_ = File();
  // The rename is durable only once the parent directory is.
  if (Result<void> synced = sync(parent_.fd()); !synced) return IoError(synced.error()).with_path("table directory", dir_);
  return {};
}

Result<void> StoreWriter::abort() {
  if (state_ != State::kOpen || parent_.fd() < 0) return {};  // closed, or moved from
  state_ = State::kAborted;
  files_.clear();
  Result<void> first;
  auto remove = [&](const std::string& name) {
    if (::unlinkat(staging_fd_.fd(), name.c_str(), 0) != 0 && errno != ENOENT && first) {
      first = IoError::last_os().with_path("staged file", staged_path(name));
    }
  };
  if (staging_fd_.fd() >= 0) {
    for (std::uint64_t s = 0; s < geometry_.shards; ++s) remove(shard_file_name("shard_", s));
    remove(kStoreManifestName);
    staging_fd_ = File();
  }
  if (!staging_.empty() && ::unlinkat(parent_.fd(), staging_.c_str(), AT_REMOVEDIR) != 0 && first) {
    first = IoError::last_os().with_path("staging directory", staging_path_);
  }
  return first;
}

}  // namespace quandrel::io
