#include "keygen/rowids.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace quandrel::keygen {
namespace {

// The context of a position: its token and the one or two before it, each
// replaced by B where a boundary token cuts the context.
struct Hashes {
  std::uint64_t h2;  // token and predecessor
  std::uint64_t h3;  // token and two predecessors
};

// Rolls over the working sequence (history followed by tokens) one position
// at a time, keeping only the two previous tokens: a[-1] = a[-2] = B gives
// exactly the context of a sequence without history.
class ContextWalk {
 public:
  ContextWalk(const KeyScheme& scheme, std::span<const std::uint32_t> history)
      : b_(scheme.boundary_token),
        m0_(scheme.multipliers[0]),
        m1_(scheme.multipliers[1]),
        m2_(scheme.multipliers[2]),
        p1_(scheme.boundary_token),
        p2_(scheme.boundary_token) {
    const std::size_t keep = std::min<std::size_t>(history.size(), 2);
    for (std::uint32_t t : history.last(keep)) shift(t);
  }

  Hashes next(std::uint32_t token) {
    const std::uint64_t c1 = p1_;
    // c2 needs both predecessors intact; a boundary at p2 yields B anyway.
    const std::uint64_t c2 = p1_ == b_ ? b_ : p2_;
    const std::uint64_t h2 = (m0_ * token) ^ (m1_ * c1);
    shift(token);
    return {h2, h2 ^ (m2_ * c2)};
  }

 private:
  void shift(std::uint32_t t) {
    p2_ = p1_;
    p1_ = t;
  }

  const std::uint64_t b_, m0_, m1_, m2_;
  std::uint64_t p1_, p2_;
};

// Each table index is a template argument, so every modulus is a constant
// and the compiler turns each `%` into a multiplication.
template <std::size_t... K>
inline void fill_constant(RowIds& out, Hashes h, std::index_sequence<K...>) {
  ((out[K] = static_cast<std::uint32_t>(kTableOffsets[K] +
                                        (K < 8 ? h.h2 : h.h3) % kTableSizes[K])),
   ...);
}

template <class Fill>
std::vector<RowIds> walk(const KeyScheme& scheme, std::span<const std::uint32_t> history,
                         std::span<const std::uint32_t> tokens, Fill fill) {
  std::vector<RowIds> out(tokens.size());
  ContextWalk ctx(scheme, history);
  for (std::size_t i = 0; i < tokens.size(); ++i) fill(out[i], ctx.next(tokens[i]));
  return out;
}

}  // namespace

std::vector<RowIds> rowids_for_seq_with_history(const KeyScheme& scheme,
                                                std::span<const std::uint32_t> history,
                                                std::span<const std::uint32_t> tokens) {
  return walk(scheme, history, tokens, [](RowIds& r, Hashes h) {
    fill_constant(r, h, std::make_index_sequence<kTables>{});
  });
}

void rowids_into(const KeyScheme& scheme, std::span<const std::uint32_t> history,
                 std::span<const std::uint32_t> tokens, std::byte* out) {
  // Widened token by token, so that no vector of every token's ids is built.
  auto emit = [&](std::size_t i, const RowIds& r) {
    std::array<std::uint64_t, kTables> wide;
    std::copy(r.begin(), r.end(), wide.begin());
    std::memcpy(out + i * sizeof(wide), wide.data(), sizeof(wide));
  };
  ContextWalk ctx(scheme, history);
  RowIds r;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    fill_constant(r, ctx.next(tokens[i]), std::make_index_sequence<kTables>{});
    emit(i, r);
  }
}

std::vector<RowIds> rowids_for_seq(const KeyScheme& scheme, std::span<const std::uint32_t> tokens) {
  const std::uint32_t boundary[2] = {scheme.boundary_token, scheme.boundary_token};
  return rowids_for_seq_with_history(scheme, boundary, tokens);
}

}  // namespace quandrel::keygen
