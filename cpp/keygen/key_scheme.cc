#include "keygen/key_scheme.h"

#include <string>

#include "core/error.h"
#include "core/messages.h"

namespace quandrel::keygen {

KeyScheme KeyScheme::real() {
  KeyScheme s{
      .table_sizes = {kTableSizes.begin(), kTableSizes.end()},
      .table_offsets = {kTableOffsets.begin(), kTableOffsets.end()},
      .moduli = {},
      .multipliers = kMultipliers,
      .table_rows = 0,
      .padded_rows = 0,
      .rows_per_shard = kGridRowsPerShard,
      .shards = kGridShards,
      .boundary_token = kBoundaryToken,
  };
  s.table_rows = s.table_offsets.back() + s.table_sizes.back();
  s.padded_rows = round_up(s.table_rows, kPadGranule);
  // The same check as the static_assert, kept at run time so that a record
  // built from other constants could never slip through.
  const std::uint64_t expected = s.shards * s.rows_per_shard;
  if (s.padded_rows != expected) {
    fault(std::string(msg::kP0) + " (expected " + std::to_string(expected) + ", got " +
          std::to_string(s.padded_rows) + ")");
  }
  s.moduli = s.table_sizes;
  return s;
}

}  // namespace quandrel::keygen
