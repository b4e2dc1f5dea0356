#include "io/read/read_stats.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace quandrel::io {
namespace {

std::uint64_t system_ns() {
  timespec t;
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000 + static_cast<std::uint64_t>(t.tv_nsec);
}

// The time-stamp counter as a clock: usable only where the kernel keeps
// time by it, which it does only when the counter ticks at one rate on every
// processor, also across sleep states.
struct TickClock {
  bool usable = false;
  std::uint64_t origin_ticks = 0;
  std::uint64_t origin_ns = 0;
  double ns_per_tick = 0;
};

#if defined(__x86_64__)
bool kernel_keeps_time_by_tsc() {
  std::FILE* f = std::fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "re");
  if (f == nullptr) return false;
  char name[16] = {};
  const bool tsc = std::fgets(name, sizeof name, f) != nullptr && std::strcmp(name, "tsc\n") == 0;
  std::fclose(f);
  return tsc;
}

// The counter's rate against the system clock over a millisecond: good to
// about 1e-4, far finer than the 15 us and the histogram's buckets need.
TickClock calibrate() {
  if (!kernel_keeps_time_by_tsc()) return {};
  const std::uint64_t t0 = system_ns();
  const std::uint64_t c0 = __rdtsc();
  std::uint64_t t1 = t0;
  while (t1 - t0 < 1'000'000) t1 = system_ns();
  const std::uint64_t c1 = __rdtsc();
  if (c1 <= c0) return {};
  return {true, c0, t0, static_cast<double>(t1 - t0) / static_cast<double>(c1 - c0)};
}
#else
TickClock calibrate() { return {}; }
#endif

const TickClock& tick_clock() {
  static const TickClock clock = calibrate();
  return clock;
}

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

std::uint64_t clock_ns() {
#if defined(__x86_64__)
  const TickClock& c = tick_clock();
  if (c.usable) {
    return c.origin_ns + static_cast<std::uint64_t>(static_cast<double>(__rdtsc() - c.origin_ticks) *
                                                    c.ns_per_tick);
  }
#endif
  return system_ns();
}

ReadStats::ReadStats(std::uint64_t row_bytes) : row_bytes_(row_bytes) {
  (void)tick_clock();  // calibrated when a store or view opens, not on its first read
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
