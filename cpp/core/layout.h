// The geometry of a sharded table of fixed-width rows. A plain value: built
// once per store and only read afterwards, so any number of threads may read
// it at once.
#pragma once

#include <cstdint>

namespace quandrel {

inline constexpr std::uint64_t kPageBytes = 4096;

struct Layout {
  std::uint64_t shards;
  std::uint64_t rows_per_shard;
  std::uint64_t row_bytes;  // a row's width: one byte per element

  // Addressing of row id r. shard_of faults with "attempt to divide by zero"
  // when rows_per_shard is 0.
  std::uint64_t shard_of(std::uint64_t r) const;
};

}  // namespace quandrel
