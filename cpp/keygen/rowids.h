// Sixteen row ids per token: slots 0-7 hash the token with its predecessor,
// slots 8-15 with its two predecessors. Pure, reentrant functions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "keygen/key_scheme.h"

namespace quandrel::keygen {

using RowIds = std::array<std::uint32_t, kTables>;

// `history` (oldest first) supplies the context of the first tokens; only its
// last two tokens can matter. One array per token of `tokens`, in order.
std::vector<RowIds> rowids_for_seq_with_history(const KeyScheme& scheme,
                                                std::span<const std::uint32_t> history,
                                                std::span<const std::uint32_t> tokens);

// As above with the history [B, B], which is the same as an empty history.
std::vector<RowIds> rowids_for_seq(const KeyScheme& scheme, std::span<const std::uint32_t> tokens);

// The same ids as rowids_for_seq_with_history, written as 64-bit integers:
// token i's to items [16 i, 16 i + 16) of `out`, which holds 16 items per
// token and may have any alignment.
void rowids_into(const KeyScheme& scheme, std::span<const std::uint32_t> history,
                 std::span<const std::uint32_t> tokens, std::byte* out);

}  // namespace quandrel::keygen
