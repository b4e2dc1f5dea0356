#include "io/read/backend.h"

#include "io/read/positional.h"

namespace quandrel::io {

Result<std::size_t> PreadBackend::fill_at(int fd, std::span<std::byte> buffer,
                                          std::uint64_t offset) const {
  return io::fill_at(fd, buffer, offset);
}

std::shared_ptr<const IoBackend> pread_backend() {
  // Never destroyed: a pool worker may still read through it at exit.
  static const auto* const backend =
      new std::shared_ptr<const IoBackend>(std::make_shared<PreadBackend>());
  return *backend;
}

}  // namespace quandrel::io
