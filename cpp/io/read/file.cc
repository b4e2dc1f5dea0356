#include "io/read/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/messages.h"

namespace quandrel::io {

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(o.fd_, -1);
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

Result<File> File::open_read_only(const std::string& path) {
  if (std::memchr(path.data(), '\0', path.size()) != nullptr) {
    return IoError::invalid_input(msg::kNulInFileName);
  }
  // Without O_NONBLOCK, opening a FIFO would wait for a writer, perhaps for
  // ever, and with the caller's locks held.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return IoError::last_os();
  File file(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) return IoError::last_os();
  // Every read is positional; a stream cannot serve one.
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return IoError::os(ESPIPE);
  // A character device keeps O_NONBLOCK, so that one with nothing to give
  // fails its read instead of blocking it. Elsewhere the flag is dropped:
  // some network and user-space file systems pass it on to their reads.
  if (!S_ISCHR(st.st_mode)) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) return IoError::last_os();
  }
  return file;
}

}  // namespace quandrel::io
