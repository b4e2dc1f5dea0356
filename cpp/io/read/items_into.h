// One caller's batch of items (rows, records) and the buffer they go to:
// item i at out + i * item bytes. Several such batches can be read as one,
// so that their reads from the device are in flight together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quandrel::io {

struct ItemsInto {
  std::span<const std::uint64_t> ids;
  std::byte* out = nullptr;
};

}  // namespace quandrel::io
