// The page reader's batch: one page from each (descriptor, offset) pair that
// the caller holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "core/error.h"
#include "io/read/positional.h"

namespace quandrel::io {

// Memory aligned for O_DIRECT, which refuses buffers not aligned to the
// device's block size: to max(4096, `alignment`), null when there is none.
struct FreeDeleter {
  void operator()(void* p) const;
};
using AlignedBuffer = std::unique_ptr<std::byte, FreeDeleter>;
AlignedBuffer aligned_buffer(std::size_t bytes, std::size_t alignment = 0);

// Reads page i, page_size bytes at offsets[i] of fds[i], into bytes
// [i * page_size, (i + 1) * page_size) of `out` with one read (a short read
// gives the page's length, as the system gave it), zeroes the rest of a
// short page's slot, and sets lengths[i]. A read straight into `out` needs
// slots aligned for O_DIRECT; otherwise every page goes through one aligned
// buffer. Stops at the first failure: the OS error, or "EOF while reading
// page" where a page starts at or past the end of its file, with the note
// "pair I: fd F, offset O". Offsets of 2^63 and above are refused by the
// system. The spans have fds.size() elements (pages for `out`).
Result<void> read_pages(std::span<const std::int32_t> fds, std::span<const std::uint64_t> offsets,
                        std::size_t page_size, std::span<std::byte> out,
                        std::span<std::size_t> lengths, const InterruptCheck& keep_going);

}  // namespace quandrel::io
