#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "core/error.h"
#include "keygen/key_scheme.h"
#include "keygen/rowids.h"

namespace quandrel::keygen {
namespace {

// The table itself is checked from Python, against primes found there.

std::vector<std::uint64_t> widen(const std::vector<RowIds>& rows) {
  std::vector<std::uint64_t> out;
  for (const auto& r : rows) out.insert(out.end(), r.begin(), r.end());
  return out;
}

// rowids_into at an odd address, which it must accept.
std::vector<std::uint64_t> widened_rowids(const KeyScheme& s, std::span<const std::uint32_t> history,
                                          std::span<const std::uint32_t> tokens) {
  std::vector<std::byte> raw(tokens.size() * kTables * 8 + 1);
  rowids_into(s, history, tokens, raw.data() + 1);
  std::vector<std::uint64_t> out(tokens.size() * kTables);
  if (!out.empty()) std::memcpy(out.data(), raw.data() + 1, out.size() * 8);
  return out;
}

// The constant-folded path must agree with the one that reads the moduli
// from the record, bit for bit.
TEST(Rowids, ConstantPathMatchesGenericPath) {
  const KeyScheme s = KeyScheme::real();
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
  KeyScheme s = KeyScheme::real();
  s.moduli[3] = 7;
  const std::vector<std::uint32_t> tokens = {1, 2, 3};
  const auto rows = rowids_for_seq(s, tokens);
  for (const auto& r : rows) EXPECT_LT(r[3], s.table_offsets[3] + 7);
  EXPECT_EQ(widened_rowids(s, {}, tokens), widen(rowids_for_seq_with_history_generic(s, {}, tokens)));
}

}  // namespace
}  // namespace quandrel::keygen
