#include "io/read/read_stats.h"

#include <pthread.h>

#include <algorithm>
#include <bit>

#include "io/read/read_clock.h"

namespace quandrel::io {
namespace {

// Which stripe of every ReadStats this thread owns: one of the first
// kOwnedStripes, taken on its first record and given back when it ends, or
// none when all were taken then.
constexpr unsigned kNotYet = ~0u;
constexpr unsigned kNone = ~0u - 1;
constexpr std::uint32_t kAllTaken = (std::uint64_t{1} << 16) - 1;

// Initial-exec: a record reads it with one load, where a shared library's
// default model calls into the dynamic loader.
__attribute__((tls_model("initial-exec"))) thread_local unsigned t_stripe = kNotYet;

// Bit k set while a thread owns stripe k. The release of a stripe pairs with
// the acquire of the next owner, which so sees every count the last one made.
std::atomic<std::uint32_t> g_taken{0};
pthread_key_t g_owner_key;
bool g_have_key = false;
pthread_once_t g_once = PTHREAD_ONCE_INIT;

void give_back(void*) {
  const unsigned k = t_stripe;
  t_stripe = kNotYet;  // a record later in this thread's exit takes one again
  if (k < 32) g_taken.fetch_and(~(std::uint32_t{1} << k), std::memory_order_release);
}

// Only the forking thread lives on in the child: the stripes of the others
// are free there.
void after_fork_in_child() {
  const unsigned k = t_stripe;
  g_taken.store(k < 32 ? std::uint32_t{1} << k : 0, std::memory_order_relaxed);
}

void set_up() {
  g_have_key = ::pthread_key_create(&g_owner_key, give_back) == 0 &&
               ::pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
}

unsigned take_stripe() {
  ::pthread_once(&g_once, set_up);
  if (!g_have_key) return kNone;  // without a way to give it back, a stripe would leak
  std::uint32_t taken = g_taken.load(std::memory_order_relaxed);
  while (taken != kAllTaken) {
    const unsigned k = static_cast<unsigned>(std::countr_one(taken));
    if (g_taken.compare_exchange_weak(taken, taken | (std::uint32_t{1} << k), std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
      if (::pthread_setspecific(g_owner_key, &g_taken) == 0) return k;
      g_taken.fetch_and(~(std::uint32_t{1} << k), std::memory_order_release);
      return kNone;
    }
  }
  return kNone;
}

// Threads run on stacks megabytes apart: the calling frame's address spreads
// the threads without a stripe of their own over the shared ones.
std::size_t shared_stripe_of_this_thread(std::size_t stripes) {
  int here;
  const auto address = reinterpret_cast<std::uintptr_t>(&here);
  return static_cast<std::size_t>((address >> 20) * 0x9E3779B97F4A7C15ull >> 58) % stripes;
}

// The owner alone writes its stripe: a load and a store, no locked instruction.
void add_owned(std::atomic<std::uint64_t>& counter, std::uint64_t n) {
  counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

void add_shared(std::atomic<std::uint64_t>& counter, std::uint64_t n) {
  counter.fetch_add(n, std::memory_order_relaxed);
}

}  // namespace

static_assert(kAllTaken == (std::uint64_t{1} << ReadStats::kOwnedStripes) - 1);

ReadStats::ReadStats(std::uint64_t row_bytes) : row_bytes_(row_bytes) {
  (void)now_ns();  // the clock calibrated when a store or view opens, not on its first read
}

template <class Add>
void ReadStats::record_into(Stripe& s, const ReadCall& call, Add add) noexcept {
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

void ReadStats::record(const ReadCall& call) noexcept {
  unsigned k = t_stripe;
  if (k == kNotYet) k = t_stripe = take_stripe();
  if (k < kOwnedStripes) return record_into(stripes_[k], call, add_owned);
  record_into(stripes_[kOwnedStripes + shared_stripe_of_this_thread(kSharedStripes)], call, add_shared);
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
