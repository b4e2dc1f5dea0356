// An owned, open, read-only file descriptor.
#pragma once

#include <string>
#include <utility>

#include "core/error.h"

namespace quandrel::io {

// Owns one descriptor and closes it on destruction, ignoring close errors.
// Movable, not copyable. Reads through it are positional, so one File serves
// any number of threads at once.
class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  File(File&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  File& operator=(File&& o) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Opens `path` read-only and close-on-exec: no write, create or truncate.
  // Never waits for a writer: a FIFO or socket, which cannot be read at an
  // offset, fails with ESPIPE. A directory opens (its reads fail).
  // A path holding a NUL byte is an invalid-input error.
  static Result<File> open_read_only(const std::string& path);

  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace quandrel::io
