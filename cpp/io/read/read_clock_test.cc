#include "io/read/read_clock.h"

#include <gtest/gtest.h>

#include <chrono>

namespace quandrel::io {
namespace {

// The system's clock, as the library reads it when no counter serves.
std::uint64_t system_ns() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

// Whichever counter it reads, the clock keeps the system's time: the cold
// threshold and the histogram are in nanoseconds.
TEST(ReadClock, KeepsTheSystemsTime) {
  const std::uint64_t c0 = now_ns(), t0 = system_ns();
  std::uint64_t t1 = t0;
  while (t1 - t0 < 20'000'000) t1 = system_ns();
  const std::uint64_t c1 = now_ns();
  EXPECT_GT(c0, 0u);
  EXPECT_NEAR(static_cast<double>(c1 - c0), static_cast<double>(t1 - t0), 0.02 * (t1 - t0));
}

}  // namespace
}  // namespace quandrel::io
