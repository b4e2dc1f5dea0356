// Positional reads at absolute offsets of an open file. They share no file
// position, so every function here may run on any number of threads at once
// on the same descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "core/error.h"

namespace quandrel::io {

// Called when a signal interrupts a read, e.g. to run the caller's signal
// handlers; false ends the read with EINTR. Without one, an interrupted read
// is simply made again.
using InterruptCheck = std::function<bool()>;

// One pread of min(buffer size, 2^31 - 1) bytes. 0 means the offset is at or
// past the end of the file.
Result<std::size_t> read_at(int fd, std::span<std::byte> buffer, std::uint64_t offset,
                            const InterruptCheck& keep_going = {});

// Fills `buffer` from `offset` on, stopping early only at the end of the
// file: a read may come back short in the middle of a file (network and FUSE
// file systems do this), and the rest is then read on. Returns how many
// bytes it read; on failure the buffer holds what was read before it.
Result<std::size_t> fill_at(int fd, std::span<std::byte> buffer, std::uint64_t offset);

// fill_at, where a file that ends inside the buffer fails with
// "read_exact_at: eof inside buffer" (kind unexpected end of file).
Result<void> read_exact_at(int fd, std::span<std::byte> buffer, std::uint64_t offset);

}  // namespace quandrel::io
