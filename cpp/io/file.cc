#include "io/file.h"

#include <fcntl.h>
#include <unistd.h>

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
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return IoError::last_os();
  return File(fd);
}

}  // namespace quandrel::io
