// Counters of the reads served by one open store or view, since it was
// opened, for operators: how many calls, rows and bytes, how many rows came
// from the device rather than memory, and how long calls took.
//
// Recording costs a few plain additions: the first threads that record each
// own a stripe of every store's counters, which only they write, so an
// addition needs no locked instruction; threads beyond those share stripes
// through relaxed atomic additions. No lock and no system call either way.
// Every read method records once per call, through `record`, whatever path
// served it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace quandrel::io {

// Upper bounds, inclusive, of the latency histogram's buckets; a call longer
// than the last falls in one more bucket.
inline constexpr std::array<std::uint64_t, 20> kLatencyBoundsNs = {
    500,        1'000,      2'000,      5'000,       10'000,      20'000,     50'000,
    100'000,    200'000,    500'000,    1'000'000,   2'000'000,   5'000'000,  10'000'000,
    20'000'000, 50'000'000, 100'000'000, 200'000'000, 500'000'000, 1'000'000'000};
inline constexpr std::size_t kLatencyCounts = kLatencyBoundsNs.size() + 1;

// One finished read call.
struct ReadCall {
  std::uint64_t rows = 0;              // rows or records asked for
  std::uint64_t rows_from_device = 0;  // of `rows`, those the read found on the device
  bool failed = false;                 // ended with an I/O error
  std::uint64_t ns = 0;                // how long the call took
};

// A consistent-enough copy: each counter is read once, so counts of calls
// still running may be partly in. rows_from_memory + rows_from_device is
// always `rows` of the calls that succeeded.
struct ReadTotals {
  std::uint64_t calls = 0;
  std::uint64_t rows_from_memory = 0;
  std::uint64_t rows_from_device = 0;
  std::uint64_t bytes = 0;
  std::uint64_t cold_batches = 0;  // successful calls with a row from the device
  std::uint64_t read_errors = 0;
  std::array<std::uint64_t, kLatencyCounts> latency_counts{};

  std::uint64_t rows() const { return rows_from_memory + rows_from_device; }
};

// Safe to record into and read from any number of threads at once.
// The stripes live inline: 5 KiB per open store or view.
class ReadStats {
 public:
  // Every row is `row_bytes` bytes, so bytes need no counter of their own.
  explicit ReadStats(std::uint64_t row_bytes);

  // Rows of a failed call are not counted: its output is not the caller's
  // result. Its time is.
  void record(const ReadCall& call) noexcept;
  ReadTotals totals() const noexcept;

  // Stripes [0, kOwnedStripes) belong to one thread each (see read_stats.cc);
  // the rest are shared by the threads that own none.
  static constexpr std::size_t kOwnedStripes = 16;
  static constexpr std::size_t kSharedStripes = 4;

 private:
  struct alignas(64) Stripe {
    // No count of calls: every call falls in one latency bucket.
    std::atomic<std::uint64_t> from_memory{0}, from_device{0}, cold{0}, errors{0};
    std::array<std::atomic<std::uint64_t>, kLatencyCounts> latency{};
  };
  template <class Add>
  void record_into(Stripe& s, const ReadCall& call, Add add) noexcept;

  const std::uint64_t row_bytes_;
  std::array<Stripe, kOwnedStripes + kSharedStripes> stripes_;
};

}  // namespace quandrel::io
