// Reads that go to the disk, kept in flight together on an io_uring ring:
// one thread keeps hundreds of them on the device, where the pool needs a
// blocked thread (and its page faults and wake-ups) for each. Measured on
// this project's test machine: as many rows per second as the pool's 32
// threads, or more, at half the CPU time per row.
//
// Where the kernel or a sandbox refuses io_uring (a seccomp profile,
// kernel.io_uring_disabled, an old kernel) or QUANDREL_NO_IO_URING is set,
// the engine says so once and for all, and cold reads stay with the pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace quandrel::io {

// One read of a batch: `into.size()` bytes of `fd` from `offset` on.
struct DiskRead {
  int fd = -1;
  std::uint64_t offset = 0;
  std::span<std::byte> into;
};

// Which engine serves the reads that go to the disk, and why.
struct ColdReadEngine {
  bool uring = false;
  std::string name;    // "io_uring" or "pool"
  std::string reason;  // why not io_uring; empty when it is
};

// Decided on the first call (which tries a ring), then fixed for the process.
const ColdReadEngine& cold_read_engine();

// Reads all of `reads` on the calling thread's ring, up to kUringDepth at a
// time, and sets done[i] for each read that got all its bytes. What is not
// done (the end of the file, an error, an interrupted read) is left for the
// caller to read positionally, which tells those apart. Returns false, with
// nothing read, when io_uring does not serve this process. Every read has
// ended, one way or the other, when it returns: no write into `into` can
// follow.
bool uring_read_all(std::span<const DiskRead> reads, std::span<bool> done) noexcept;

inline constexpr unsigned kUringDepth = 256;

}  // namespace quandrel::io
