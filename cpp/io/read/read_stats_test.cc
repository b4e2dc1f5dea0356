#include "io/read/read_stats.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace quandrel::io {
namespace {

// More threads than stripes of their own, in two waves, so that stripes are
// shared by some and handed from ended threads to new ones: no count is lost.
TEST(ReadStats, CountsEveryCallOfManyThreads) {
  ReadStats stats(8);
  constexpr int kThreads = 2 * ReadStats::kOwnedStripes, kCalls = 20'000;
  for (int wave = 0; wave < 2; ++wave) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&stats, t] {
        for (int i = 0; i < kCalls; ++i) stats.record({3, t % 2 == 0 ? 1u : 0u, false, 700});
      });
    }
    for (std::thread& t : threads) t.join();
  }
  const ReadTotals totals = stats.totals();
  const std::uint64_t calls = 2ull * kThreads * kCalls;
  EXPECT_EQ(totals.calls, calls);
  EXPECT_EQ(totals.latency_counts[1], calls);
  EXPECT_EQ(totals.rows(), 3 * calls);
  EXPECT_EQ(totals.rows_from_device, calls / 2);
  EXPECT_EQ(totals.cold_batches, calls / 2);
  EXPECT_EQ(totals.bytes, 24 * calls);
}

}  // namespace
}  // namespace quandrel::io
