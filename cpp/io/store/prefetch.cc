// Store::prefetch: the system reads ahead for every row at once, then the
// mapped rows' pages are entered into the page tables as they arrive, so
// that the gather that follows neither waits nor faults.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "io/store/shard_store.h"

namespace quandrel::io {
namespace {

std::uintptr_t page_size() {
  static const auto size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

void ShardStore::prefetch(std::span<const std::uint64_t> rowids) const {
  const std::uint64_t per_shard = layout_.rows_per_shard;
  const std::uint64_t row_bytes = layout_.row_bytes;
  if (per_shard == 0 || row_bytes == 0) return;
  // The row's shard and offset, or false for a row no file can hold.
  auto locate = [&](std::uint64_t r, std::uint64_t& shard, std::uint64_t& offset) {
    shard = r / per_shard;
    return shard < files_.size() && !__builtin_mul_overflow(r - shard * per_shard, row_bytes, &offset) &&
           offset <= static_cast<std::uint64_t>(INT64_MAX) - row_bytes;
  };
  std::uint64_t shard = 0, offset = 0;
  for (std::uint64_t r : rowids) {
    if (!locate(r, shard, offset)) continue;
    (void)::posix_fadvise(files_[shard].file.fd(), static_cast<off_t>(offset), static_cast<off_t>(row_bytes),
                          POSIX_FADV_WILLNEED);
  }
  if (!mapped()) return;
  for (std::uint64_t r : rowids) {
    if (!locate(r, shard, offset)) continue;
    const Mapping& m = files_[shard].mapping;
    if (!m.covers(offset, row_bytes)) continue;
    const auto first = reinterpret_cast<std::uintptr_t>(m.data() + offset) & ~(page_size() - 1);
    const auto end = reinterpret_cast<std::uintptr_t>(m.data() + offset + row_bytes);
    // Fails (EFAULT, EINVAL before Linux 5.14) only where the gather's
    // guarded copy or pread copes anyway.
    (void)::madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_READ);
  }
}

}  // namespace quandrel::io
