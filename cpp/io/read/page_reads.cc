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

constexpr std::size_t kMinAlignment = 4096;

std::string pair_note(std::size_t i, std::int32_t fd, std::uint64_t offset) {
  return "pair " + std::to_string(i) + ": fd " + std::to_string(fd) + ", offset " +
         std::to_string(offset);
}

}  // namespace

void FreeDeleter::operator()(void* p) const { std::free(p); }

AlignedBuffer aligned_buffer(std::size_t bytes, std::size_t alignment) {
  alignment = std::max(alignment, kMinAlignment);  // a power of two
  const std::size_t rounded = (bytes + alignment - 1) & ~(alignment - 1);
  return AlignedBuffer(static_cast<std::byte*>(std::aligned_alloc(alignment, std::max(rounded, alignment))));
}

Result<void> read_pages(std::span<const std::int32_t> fds, std::span<const std::uint64_t> offsets,
                        std::size_t page_size, std::span<std::byte> out,
                        std::span<std::size_t> lengths, const InterruptCheck& keep_going) {
  const bool aligned = reinterpret_cast<std::uintptr_t>(out.data()) % kMinAlignment == 0 &&
                       page_size % kMinAlignment == 0;
  AlignedBuffer bounce;
  if (!aligned) {
    bounce = aligned_buffer(page_size, page_size);
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
