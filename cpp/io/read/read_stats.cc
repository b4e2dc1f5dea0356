#include "io/read/read_stats.h"

#include <time.h>

#include <algorithm>

namespace quandrel::io {
namespace {

std::size_t stripe_of_this_thread(std::size_t stripes) {
  static std::atomic<std::size_t> next{0};
  thread_local const std::size_t stripe = next.fetch_add(1, std::memory_order_relaxed);
  return stripe % stripes;
}

void add(std::atomic<std::uint64_t>& counter, std::uint64_t n) {
  counter.fetch_add(n, std::memory_order_relaxed);
}

}  // namespace

std::uint64_t monotonic_ns() {
  timespec t;
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000 + static_cast<std::uint64_t>(t.tv_nsec);
}

void ReadStats::record(const ReadCall& call) noexcept {
  Stripe& s = stripes_[stripe_of_this_thread(kStripes)];
  add(s.calls, 1);
  const std::size_t bucket = static_cast<std::size_t>(
      std::lower_bound(kLatencyBoundsNs.begin(), kLatencyBoundsNs.end(), call.ns) -
      kLatencyBoundsNs.begin());
  add(s.latency[bucket], 1);
  add(s.ns, call.ns);
  if (call.failed) return add(s.errors, 1);
  const std::uint64_t device = std::min(call.rows_from_device, call.rows);
  add(s.from_memory, call.rows - device);
  if (device > 0) {
    add(s.from_device, device);
    add(s.cold, 1);
  }
  add(s.bytes, call.bytes);
}

ReadTotals ReadStats::totals() const noexcept {
  ReadTotals t;
  auto get = [](const std::atomic<std::uint64_t>& c) { return c.load(std::memory_order_relaxed); };
  for (const Stripe& s : stripes_) {
    t.calls += get(s.calls);
    t.rows_from_memory += get(s.from_memory);
    t.rows_from_device += get(s.from_device);
    t.bytes += get(s.bytes);
    t.cold_batches += get(s.cold);
    t.read_errors += get(s.errors);
    t.latency_sum_ns += get(s.ns);
    for (std::size_t i = 0; i < kLatencyCounts; ++i) t.latency_counts[i] += get(s.latency[i]);
  }
  return t;
}

}  // namespace quandrel::io
