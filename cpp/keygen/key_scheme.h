// The record of the key-generation scheme PLE_QWEN_V1: 16 hash tables of
// prime size laid end to end, padded to a grid of 128 shards. Pure data.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace quandrel::keygen {

inline constexpr std::size_t kTables = 16;
inline constexpr std::uint64_t kPrimeSearchFloor = 20'000'000;
inline constexpr std::uint64_t kPadGranule = 128;
inline constexpr std::uint64_t kGridShards = 128;
inline constexpr std::uint64_t kGridRowsPerShard = 2'500'012;
inline constexpr std::uint32_t kBoundaryToken = 248'044;
inline constexpr std::array<std::uint64_t, 3> kMultipliers = {0x158EEB0ED789, 0x124A0230FF35,
                                                               0x752F6EB3BA7};

// Odd trial division up to the square root; 2, 3, 5 and 7 are prime.
constexpr bool is_prime(std::uint64_t c) {
  if (c == 2 || c == 3 || c == 5 || c == 7) return true;
  if (c < 9 || c % 2 == 0) return false;
  for (std::uint64_t d = 3; d * d <= c; d += 2) {
    if (c % d == 0) return false;
  }
  return true;
}

// The first kTables primes above kPrimeSearchFloor, ascending.
constexpr std::array<std::uint64_t, kTables> first_primes_above_floor() {
  std::array<std::uint64_t, kTables> out{};
  std::uint64_t c = kPrimeSearchFloor;
  for (std::size_t k = 0; k < kTables;) {
    ++c;
    if (is_prime(c)) out[k++] = c;
  }
  return out;
}

constexpr std::array<std::uint64_t, kTables> exclusive_prefix_sums(
    const std::array<std::uint64_t, kTables>& sizes) {
  std::array<std::uint64_t, kTables> out{};
  for (std::size_t k = 1; k < kTables; ++k) out[k] = out[k - 1] + sizes[k - 1];
  return out;
}

constexpr std::uint64_t round_up(std::uint64_t v, std::uint64_t granule) {
  return (v + granule - 1) / granule * granule;
}

// The walk runs at compile time, so a call pays nothing for it.
inline constexpr std::array<std::uint64_t, kTables> kTableSizes = first_primes_above_floor();
inline constexpr std::array<std::uint64_t, kTables> kTableOffsets =
    exclusive_prefix_sums(kTableSizes);
inline constexpr std::uint64_t kTableRows = kTableOffsets[kTables - 1] + kTableSizes[kTables - 1];
inline constexpr std::uint64_t kPaddedRows = round_up(kTableRows, kPadGranule);

// P0: the padded row space and the shard grid must close.
static_assert(kPaddedRows == kGridShards * kGridRowsPerShard,
              "P0: the padded table must fill the shard grid exactly");

struct KeyScheme {
  std::vector<std::uint64_t> table_sizes;
  std::vector<std::uint64_t> table_offsets;
  std::vector<std::uint64_t> moduli;
  std::array<std::uint64_t, 3> multipliers;
  std::uint64_t table_rows;
  std::uint64_t padded_rows;
  std::uint64_t rows_per_shard;
  std::uint64_t shards;
  std::uint32_t boundary_token;

  // The one instance of the scheme. Faults if the P0 check fails.
  static KeyScheme real();

  bool operator==(const KeyScheme&) const = default;
};

}  // namespace quandrel::keygen
