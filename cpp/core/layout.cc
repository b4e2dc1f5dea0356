#include "core/layout.h"

#include <algorithm>

#include "core/error.h"
#include "core/messages.h"

namespace quandrel {

Layout Layout::make(std::uint64_t shards, std::uint64_t rows_per_shard, std::uint64_t width,
                    std::uint64_t elem_bytes) {
  std::uint64_t row_bytes = 0;
  if (__builtin_mul_overflow(width, elem_bytes, &row_bytes)) fault(msg::kCapacityOverflow);
  const std::uint64_t rows_per_page = std::max<std::uint64_t>(kPageBytes / std::max<std::uint64_t>(row_bytes, 1), 1);
  return Layout{shards, rows_per_shard, width, row_bytes, rows_per_page};
}

std::uint64_t Layout::shard_of(std::uint64_t r) const {
  if (rows_per_shard == 0) fault(msg::kDivideByZero);
  return r / rows_per_shard;
}

}  // namespace quandrel
