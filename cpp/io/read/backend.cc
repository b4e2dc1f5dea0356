#include "io/read/backend.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/messages.h"

namespace quandrel::io {

namespace {
constexpr std::size_t kMaxTransfer = 2147483647;
}

Result<std::size_t> read_at(int fd, std::span<std::byte> buffer, std::uint64_t offset) {
  const std::size_t want = std::min(buffer.size(), kMaxTransfer);
  ssize_t n;
  // A signal handler may interrupt a read on network and user-space file
  // systems; the read is simply made again, as Python's own reads do.
  do {
    n = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return IoError::last_os();
  return static_cast<std::size_t>(n);
}

Result<void> read_exact_at(int fd, std::span<std::byte> buffer, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    Result<std::size_t> n = read_at(fd, buffer.subspan(done), offset + done);
    if (!n) return n.error();
    if (*n == 0) return IoError::unexpected_eof(msg::kEofInsideBuffer);
    done += *n;
  }
  return {};
}

Result<std::size_t> read_up_to(const IoBackend& backend, int fd, std::span<std::byte> buffer,
                               std::uint64_t offset) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    Result<std::size_t> n = backend.read_at(fd, buffer.subspan(done), offset + done);
    if (!n) return n.error();
    if (*n == 0) break;
    done += *n;
  }
  return done;
}

}  // namespace quandrel::io
