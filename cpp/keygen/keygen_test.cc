#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "core/error.h"
#include "keygen/ple_spec.h"
#include "keygen/rowids.h"

namespace quandrel::keygen {
namespace {

// Trial division written independently of the constexpr walk.
bool slow_is_prime(std::uint64_t n) {
  if (n < 2) return false;
  for (std::uint64_t d = 2; d * d <= n; ++d) {
    if (n % d == 0) return false;
  }
  return true;
}

TEST(PleSpec, TableSizesAreTheFirstSixteenPrimesAboveTwentyMillion) {
  const PleSpec s = PleSpec::real();
  ASSERT_EQ(s.table_sizes.size(), 16u);
  std::uint64_t c = 20'000'000;
  for (std::uint64_t size : s.table_sizes) {
    do ++c;
    while (!slow_is_prime(c));
    EXPECT_EQ(size, c);
  }
  EXPECT_EQ(s.table_sizes.front(), 20'000'003u);
  EXPECT_EQ(s.table_sizes[1], 20'000'023u);
  EXPECT_EQ(s.table_sizes[2], 20'000'033u);
  EXPECT_EQ(s.table_sizes[14], 20'000'161u);
  EXPECT_EQ(s.table_sizes.back(), 20'000'171u);
}

TEST(PleSpec, Fields) {
  const PleSpec s = PleSpec::real();
  EXPECT_EQ(s.table_offsets.front(), 0u);
  EXPECT_EQ(s.table_offsets[1], 20'000'003u);
  EXPECT_EQ(s.table_offsets[8], 160'000'374u);
  EXPECT_EQ(s.table_offsets[15], 300'001'275u);
  EXPECT_EQ(s.table_rows, 320'001'446u);
  EXPECT_EQ(s.padded_rows, 320'001'536u);
  EXPECT_EQ(s.padded_rows, s.shards * s.rows_per_shard);
  EXPECT_EQ(s.shards, 128u);
  EXPECT_EQ(s.rows_per_shard, 2'500'012u);
  EXPECT_EQ(s.boundary_token, 248'044u);
  EXPECT_EQ(s.multipliers[0], 23'703'573'157'769u);
  EXPECT_EQ(s.multipliers[1], 20'109'073'645'365u);
  EXPECT_EQ(s.multipliers[2], 8'052'911'324'071u);
  EXPECT_EQ(s.moduli, s.table_sizes);
  EXPECT_NE(s.moduli.data(), s.table_sizes.data());
  EXPECT_EQ(PleSpec::real(), s);
}

TEST(PleSpec, PrimeRule) {
  EXPECT_TRUE(is_prime(2));
  EXPECT_TRUE(is_prime(7));
  EXPECT_FALSE(is_prime(1));
  EXPECT_FALSE(is_prime(9));
  EXPECT_FALSE(is_prime(25));
  EXPECT_TRUE(is_prime(20'000'003));
  EXPECT_FALSE(is_prime(20'000'001));
}

std::vector<std::uint64_t> widen(const std::vector<RowIds>& rows) {
  std::vector<std::uint64_t> out;
  for (const auto& r : rows) out.insert(out.end(), r.begin(), r.end());
  return out;
}

// rowids_into at an odd address, which it must accept.
std::vector<std::uint64_t> widened_rowids(const PleSpec& s, std::span<const std::uint32_t> history,
                                          std::span<const std::uint32_t> tokens) {
  std::vector<std::byte> raw(tokens.size() * kTables * 8 + 1);
  rowids_into(s, history, tokens, raw.data() + 1);
  std::vector<std::uint64_t> out(tokens.size() * kTables);
  std::memcpy(out.data(), raw.data() + 1, out.size() * 8);
  return out;
}

// The constant-folded path must agree with the one that reads the moduli
// from the record, bit for bit.
TEST(Rowids, ConstantPathMatchesGenericPath) {
  const PleSpec s = PleSpec::real();
  std::mt19937_64 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::uint32_t> history(rng() % 4), tokens(rng() % 64);
    for (auto* v : {&history, &tokens}) {
      for (auto& t : *v) {
        const auto pick = rng() % 4;
        t = pick == 0 ? s.boundary_token : pick == 1 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(rng());
      }
    }
    const auto expected = rowids_for_seq_with_history_generic(s, history, tokens);
    EXPECT_EQ(rowids_for_seq_with_history(s, history, tokens), expected);
    EXPECT_EQ(widened_rowids(s, history, tokens), widen(expected));
  }
}

TEST(Rowids, OtherTablesTakeTheGenericPath) {
  PleSpec s = PleSpec::real();
  s.moduli[3] = 7;
  const std::vector<std::uint32_t> tokens = {1, 2, 3};
  const auto rows = rowids_for_seq(s, tokens);
  for (const auto& r : rows) EXPECT_LT(r[3], s.table_offsets[3] + 7);
  EXPECT_EQ(widened_rowids(s, {}, tokens), widen(rowids_for_seq_with_history_generic(s, {}, tokens)));
}

}  // namespace
}  // namespace quandrel::keygen
