#include "io/read/page_reads.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "core/messages.h"

namespace quandrel::io {
namespace {

// Engines open their files with O_DIRECT, which refuses buffers that are not
// aligned to the device's block size.
constexpr std::size_t kMinAlignment = 4096;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

std::string pair_note(std::size_t i, std::int32_t fd, std::uint64_t offset) {
  return "pair " + std::to_string(i) + ": fd " + std::to_string(fd) + ", offset " +
         std::to_string(offset);
}

}  // namespace

Result<void> read_pages(std::span<const std::int32_t> fds, std::span<const std::uint64_t> offsets,
                        std::size_t page_size, std::span<std::byte> out,
                        std::span<std::size_t> lengths, const InterruptCheck& keep_going) {
  const bool aligned = reinterpret_cast<std::uintptr_t>(out.data()) % kMinAlignment == 0 &&
                       page_size % kMinAlignment == 0;
  std::unique_ptr<std::byte, FreeDeleter> bounce;
  if (!aligned) {
    const std::size_t alignment = std::max(page_size, kMinAlignment);  // a power of two
    bounce.reset(static_cast<std::byte*>(std::aligned_alloc(alignment, alignment)));
    if (!bounce) throw std::bad_alloc();
  }
  for (std::size_t i = 0; i < fds.size(); ++i) {
    std::byte* const slot = out.data() + i * page_size;
    std::byte* const target = aligned ? slot : bounce.get();
    Result<std::size_t> n = read_at(fds[i], {target, page_size}, offsets[i], keep_going);
    if (n && *n == 0) n = IoError::unexpected_eof(msg::kEofWhileReadingPage);
    if (!n) return IoError(n.error()).with_note(pair_note(i, fds[i], offsets[i]));
    if (!aligned) std::memcpy(slot, target, *n);
    std::memset(slot + *n, 0, page_size - *n);
    lengths[i] = *n;
  }
  return {};
}

}  // namespace quandrel::io
