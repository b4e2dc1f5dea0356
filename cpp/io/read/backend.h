// The two ways a reader gets bytes out of a file: a positional fill, and a
// batch of guarded copies out of the file's mapping. Store and view read
// through one IoBackend, so that a test (or another engine, for the reads
// that go to the disk) can take the place of both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "core/error.h"
#include "io/read/safe_copy.h"
#include "io/read/uring_reads.h"

namespace quandrel::io {

// Implementations must be safe to call from several threads at once on the
// same object and file.
class IoBackend {
 public:
  virtual ~IoBackend() = default;
  // As io::fill_at: the bytes read, fewer than asked only at the end of file.
  virtual Result<std::size_t> fill_at(int fd, std::span<std::byte> buffer,
                                      std::uint64_t offset) const = 0;
  // As safe_copy_many: ops.size(), or the index of the op whose source faulted.
  virtual std::size_t copy_mapped(std::span<const CopyOp> ops) const noexcept = 0;
  // As uring_read_all: reads known to wait for the disk, all at once; false
  // when this backend has no engine for that (the caller reads them its own
  // way).
  virtual bool read_from_disk(std::span<const DiskRead> reads, std::span<bool> done) const noexcept {
    (void)reads;
    (void)done;
    return false;
  }
};

// pread, guarded copies, and io_uring for what waits for the disk.
// Stateless: one instance serves every reader.
class PreadBackend final : public IoBackend {
 public:
  Result<std::size_t> fill_at(int fd, std::span<std::byte> buffer,
                              std::uint64_t offset) const override;
  std::size_t copy_mapped(std::span<const CopyOp> ops) const noexcept override {
    return safe_copy_many(ops);
  }
  bool read_from_disk(std::span<const DiskRead> reads, std::span<bool> done) const noexcept override {
    return uring_read_all(reads, done);
  }
};

std::shared_ptr<const IoBackend> pread_backend();

}  // namespace quandrel::io
