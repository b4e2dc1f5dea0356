#include "io/read/read_stats.h"

#include "io/read/read_clock.h"

#include <gtest/gtest.h>
#include <time.h>

#include <thread>
#include <vector>

namespace quandrel::io {
namespace {

std::uint64_t system_ns() {
  timespec t;
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000 + static_cast<std::uint64_t>(t.tv_nsec);
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

TEST(ReadStats, CountsFromEveryThread) {
  ReadStats stats(64);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        stats.record({3, 0, false, 500});     // hot, at the first bound: its bucket
        stats.record({4, 1, false, 501});     // one row from the device, in the next bucket
        stats.record({9, 9, true, 2'000'000'000});  // failed, past the last bound
      }
    });
  }
  for (std::thread& t : threads) t.join();
  const ReadTotals totals = stats.totals();
  EXPECT_EQ(totals.calls, 12'000u);
  EXPECT_EQ(totals.rows_from_memory, 4000u * 6);
  EXPECT_EQ(totals.rows_from_device, 4000u);
  EXPECT_EQ(totals.bytes, 4000u * 7 * 64);
  EXPECT_EQ(totals.cold_batches, 4000u);
  EXPECT_EQ(totals.read_errors, 4000u);
  std::array<std::uint64_t, kLatencyCounts> counts{};
  counts[0] = counts[1] = counts[kLatencyCounts - 1] = 4000;
  EXPECT_EQ(totals.latency_counts, counts);
}

}  // namespace
}  // namespace quandrel::io
