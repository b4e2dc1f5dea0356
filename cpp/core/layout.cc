#include "core/layout.h"

#include "core/error.h"
#include "core/messages.h"

namespace quandrel {

std::uint64_t Layout::shard_of(std::uint64_t r) const {
  if (rows_per_shard == 0) fault(msg::kDivideByZero);
  return r / rows_per_shard;
}

}  // namespace quandrel
