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
  std::uint64_t width;          // elements per row
  std::uint64_t row_bytes;      // width * element size
  std::uint64_t rows_per_page;  // whole rows in a page, never less than 1

  // Faults with "capacity overflow" when width * elem_bytes exceeds 64 bits.
  static Layout make(std::uint64_t shards, std::uint64_t rows_per_shard, std::uint64_t width,
                     std::uint64_t elem_bytes);

  // Addressing of row id r. shard_of faults with "attempt to divide by zero"
  // when rows_per_shard is 0.
  std::uint64_t shard_of(std::uint64_t r) const;
  std::uint64_t row_in_shard(std::uint64_t r) const { return r - shard_of(r) * rows_per_shard; }
  std::uint64_t byte_offset(std::uint64_t r) const { return row_in_shard(r) * row_bytes; }
};

}  // namespace quandrel
