#include "io/read/read_clock.h"

#include <time.h>

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
  // Nanoseconds per tick in 32.32 fixed point: one multiplication turns
  // ticks into nanoseconds, where the conversions to and from a double took
  // a third of what reading the counter takes.
  std::uint64_t ns_per_tick_q32 = 0;
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
[[gnu::noinline, gnu::cold]] TickClock calibrate() {
  if (!kernel_keeps_time_by_tsc()) return {};
  const std::uint64_t t0 = system_ns();
  const std::uint64_t c0 = __rdtsc();
  std::uint64_t t1 = t0;
  while (t1 - t0 < 1'000'000) t1 = system_ns();
  const std::uint64_t c1 = __rdtsc();
  if (c1 <= c0) return {};
  const unsigned __int128 q32 = (static_cast<unsigned __int128>(t1 - t0) << 32) / (c1 - c0);
  if (q32 == 0 || q32 > UINT64_MAX) return {};
  return {true, c0, t0, static_cast<std::uint64_t>(q32)};
}
#else
TickClock calibrate() { return {}; }
#endif

const TickClock& tick_clock() {
  static const TickClock clock = calibrate();
  return clock;
}

}  // namespace

std::uint64_t now_ns() {
#if defined(__x86_64__)
  const TickClock& c = tick_clock();
  if (c.usable) {
    const unsigned __int128 ticks = __rdtsc() - c.origin_ticks;
    return c.origin_ns + static_cast<std::uint64_t>(ticks * c.ns_per_tick_q32 >> 32);
  }
#endif
  return system_ns();
}

}  // namespace quandrel::io
