// A whole file mapped read-only, for copying rows that are in the page cache
// without a system call per row.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "core/error.h"
#include "io/read/reader_mode.h"

namespace quandrel::io {

// Maps the length the file has at opening, shared and read-only, with
// random-access advice (no read-around: rows are looked up, not scanned).
// Reads through it give what a positional read of the same range gives: the
// parts of a range outside the mapped length, every read after the file has
// shrunk under the mapping, and every read of a retired mapping go to pread.
//
// Thread-safe: after opening, any number of threads read at once; the only
// shared state that changes is the one-way `retired` flag. Movable, not
// copyable. The descriptor is borrowed and must stay open as long as the
// Mapping (the store's File outlives it).
class Mapping {
 public:
  // Maps `fd`. A file of length 0 yields an empty Mapping (every read goes to
  // pread). Fails, with the OS error, for what cannot be mapped (not a
  // regular file, a file system without mmap, no address space left): the
  // caller then reads that file with pread alone.
  static Result<Mapping> open(int fd);

  Mapping() = default;
  Mapping(Mapping&& o) noexcept
      : region_(std::move(o.region_)),
        data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        fd_(std::exchange(o.fd_, -1)) {}
  Mapping& operator=(Mapping&& o) noexcept {
    region_ = std::move(o.region_);
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    fd_ = std::exchange(o.fd_, -1);
    return *this;
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  int fd() const { return fd_; }
  const std::byte* data() const { return data_; }
  // The mapped length: the file's length when it was opened.
  std::size_t size() const { return size_; }

  // True when [offset, offset + len) lies in the mapping and every page of it
  // is in memory (mincore). A later read may still find a page gone.
  // No allocation: one mincore call per 64 pages.
  bool resident(std::uint64_t offset, std::uint64_t len) const noexcept;

  // For callers that batch their own copies with safe_copy_many: a retired
  // mapping must not be copied from; retire() after a copy from it faulted
  // (the file shrank or failed), so that later reads use pread and do not
  // pay for a fault each.
  bool retired() const noexcept { return region_ && region_->retired.load(std::memory_order_relaxed); }
  void retire() const noexcept {
    if (region_) region_->retired.store(true, std::memory_order_relaxed);
  }
  // [offset, offset + len) may be copied from data() directly.
  bool covers(std::uint64_t offset, std::uint64_t len) const noexcept {
    return offset <= size_ && len <= size_ - offset && !retired();
  }

 private:
  struct Region {
    void* addr = nullptr;
    std::size_t len = 0;
    std::atomic<bool> retired{false};
    ~Region();
  };

  std::shared_ptr<Region> region_;
  const std::byte* data_ = nullptr;
  std::size_t size_ = 0;
  int fd_ = -1;
};

// Whether a reader in `mode` maps `fd`. In auto mode, where mapping is worth
// its risks: network and FUSE file systems can stall or fail a page at any
// time (each failure a fault instead of an error value) and cache pages on
// their own terms, so there pread is the better default.
bool should_map(int fd, ReaderMode mode);

}  // namespace quandrel::io
