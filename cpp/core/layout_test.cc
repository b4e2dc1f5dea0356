#include "core/layout.h"

#include <gtest/gtest.h>

#include "core/error.h"

namespace quandrel {
namespace {

// The binding always passes one byte per element, so only here can the
// product overflow.
TEST(Layout, RowBytesAreWidthTimesElementSize) {
  EXPECT_EQ(Layout::make(1, 1, 3, 4).row_bytes, 12u);
  try {
    (void)Layout::make(1, 1, std::uint64_t{1} << 63, 2);
    FAIL() << "no fault";
  } catch (const Fault& f) {
    EXPECT_STREQ(f.what(), "capacity overflow");
  }
}

}  // namespace
}  // namespace quandrel
