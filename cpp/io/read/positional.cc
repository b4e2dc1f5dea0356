#include "io/read/positional.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/messages.h"

namespace quandrel::io {

namespace {
constexpr std::size_t kMaxTransfer = 2147483647;
}

Result<std::size_t> read_at(int fd, std::span<std::byte> buffer, std::uint64_t offset,
                            const InterruptCheck& keep_going) {
  const std::size_t want = std::min(buffer.size(), kMaxTransfer);
  for (;;) {
    const ssize_t n = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset));
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return IoError::last_os();
    // A signal handler may interrupt a read on network and user-space file
    // systems; the read is made again, as Python's own reads do.
    if (keep_going && !keep_going()) return IoError::os(EINTR);
  }
}

Result<std::size_t> fill_at(int fd, std::span<std::byte> buffer, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    Result<std::size_t> n = read_at(fd, buffer.subspan(done), offset + done);
    if (!n) return n.error();
    if (*n == 0) break;
    done += *n;
  }
  return done;
}

Result<void> read_exact_at(int fd, std::span<std::byte> buffer, std::uint64_t offset) {
  Result<std::size_t> n = fill_at(fd, buffer, offset);
  if (!n) return n.error();
  if (*n < buffer.size()) return IoError::unexpected_eof(msg::kEofInsideBuffer);
  return {};
}

}  // namespace quandrel::io
