// Positional reads at absolute offsets of an open file. Positional reads
// share no file position, so every function here may run on any number of
// threads at once on the same descriptor. An interrupted read is made again,
// never reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "core/error.h"

namespace quandrel::io {

// One pread of min(buffer size, 2^31 - 1) bytes. 0 means the offset is at or
// past the end of the file.
Result<std::size_t> read_at(int fd, std::span<std::byte> buffer, std::uint64_t offset);

// Fills the whole buffer, or fails: with the OS error of a failed read, or
// with "read_exact_at: eof inside buffer" (kind unexpected end of file) when
// the file ends first. An empty buffer succeeds without a system call. On
// failure the buffer holds what was read before it.
Result<void> read_exact_at(int fd, std::span<std::byte> buffer, std::uint64_t offset);

// The interface through which the store reads. Implementations must be safe
// to call from several threads at once on the same object and file.
class IoBackend {
 public:
  virtual ~IoBackend() = default;
  virtual Result<void> read_exact_at(int fd, std::span<std::byte> buffer,
                                     std::uint64_t offset) const = 0;
  virtual Result<std::size_t> read_at(int fd, std::span<std::byte> buffer,
                                      std::uint64_t offset) const = 0;
};

// Fills `buffer` from `offset` on through `backend`, stopping early only at
// the end of the file: a read may come back short in the middle of a file
// (network and FUSE file systems do this), and the rest is then read on.
// Returns how many bytes it read.
Result<std::size_t> read_up_to(const IoBackend& backend, int fd, std::span<std::byte> buffer,
                               std::uint64_t offset);

// Plain pread. Stateless.
class PreadBackend final : public IoBackend {
 public:
  Result<void> read_exact_at(int fd, std::span<std::byte> buffer,
                             std::uint64_t offset) const override {
    return io::read_exact_at(fd, buffer, offset);
  }
  Result<std::size_t> read_at(int fd, std::span<std::byte> buffer,
                              std::uint64_t offset) const override {
    return io::read_at(fd, buffer, offset);
  }
};

}  // namespace quandrel::io
