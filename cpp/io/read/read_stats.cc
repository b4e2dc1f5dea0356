#include "io/read/read_stats.h"

#include "io/read/read_clock.h"

#include <algorithm>

namespace quandrel::io {
namespace {

// Threads run on stacks megabytes apart: the calling frame's address tells
// them apart without a thread-local lookup, which a shared library pays for
// with a call.
std::size_t stripe_of_this_thread(std::size_t stripes) {
  int here;
  const auto address = reinterpret_cast<std::uintptr_t>(&here);
  return static_cast<std::size_t>((address >> 20) * 0x9E3779B97F4A7C15ull >> 58) % stripes;
}

void add(std::atomic<std::uint64_t>& counter, std::uint64_t n) {
  counter.fetch_add(n, std::memory_order_relaxed);
}

}  // namespace

ReadStats::ReadStats(std::uint64_t row_bytes) : row_bytes_(row_bytes) {
  (void)now_ns();  // the clock calibrated when a store or view opens, not on its first read
}

void ReadStats::record(const ReadCall& call) noexcept {
  Stripe& s = stripes_[stripe_of_this_thread(kStripes)];
  const std::size_t bucket = static_cast<std::size_t>(
      std::lower_bound(kLatencyBoundsNs.begin(), kLatencyBoundsNs.end(), call.ns) -
      kLatencyBoundsNs.begin());
  add(s.latency[bucket], 1);
  if (call.failed) return add(s.errors, 1);
  const std::uint64_t device = std::min(call.rows_from_device, call.rows);
  if (device < call.rows) add(s.from_memory, call.rows - device);
  if (device > 0) {
    add(s.from_device, device);
    add(s.cold, 1);
  }
}

ReadTotals ReadStats::totals() const noexcept {
  ReadTotals t;
  auto get = [](const std::atomic<std::uint64_t>& c) { return c.load(std::memory_order_relaxed); };
  for (const Stripe& s : stripes_) {
    t.rows_from_memory += get(s.from_memory);
    t.rows_from_device += get(s.from_device);
    t.cold_batches += get(s.cold);
    t.read_errors += get(s.errors);
    for (std::size_t i = 0; i < kLatencyCounts; ++i) {
      const std::uint64_t count = get(s.latency[i]);
      t.latency_counts[i] += count;
      t.calls += count;
    }
  }
  t.bytes = t.rows() * row_bytes_;
  return t;
}

}  // namespace quandrel::io
