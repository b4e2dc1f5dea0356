// The clock that reads are timed with: telling a read that waited for the
// disk from one served from memory, and the time of each read call.
#pragma once

#include <cstdint>

namespace quandrel::io {

// Nanoseconds on a monotonic clock, for intervals, never 0. Where the kernel
// keeps time by the processor's time-stamp counter, read from that counter
// directly (about a third of what the vDSO's clock_gettime costs, which
// reads the same counter); elsewhere CLOCK_MONOTONIC. No system call either
// way. The first call calibrates the counter, spinning for a millisecond.
std::uint64_t now_ns();

}  // namespace quandrel::io
