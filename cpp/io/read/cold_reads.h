// Telling rows that come from memory from rows that wait for the disk, the
// same way for the store and the view.
//
// Reads are timed: one that takes kColdNs waited for the disk (a copy from
// memory takes well under a microsecond, a minor fault or a pread from the
// page cache a few). The rows after it are then asked of the disk all at
// once (the kernel reads them ahead while we wait for the first), or, in a
// large batch, read in parallel, so that a cold batch's reads overlap. A
// residency query instead would cost a system call per row, more than the
// copy of a hot one; a large batch asks only kProbeSample of its rows.
#pragma once

#include <fcntl.h>

#include <atomic>
#include <cstdint>

#include "io/read/read_clock.h"

namespace quandrel::io {

inline constexpr std::uint64_t kColdNs = 15'000;
inline constexpr std::size_t kProbeSample = 4;

// Whether the last small batch this process timed waited for the disk: the
// next one then asks the mappings before it reads. One flag for every
// table: a process that reads one cold table and one hot one pays a
// residency query per hot batch, never a wrong result.
inline std::atomic<bool>& small_batches_cold() {
  static std::atomic<bool> cold{false};
  return cold;
}

// Starts reading [offset, offset + len) into the page cache without waiting.
inline void ask_ahead(int fd, std::uint64_t offset, std::uint64_t len) {
  (void)::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(len), POSIX_FADV_WILLNEED);
}

}  // namespace quandrel::io
