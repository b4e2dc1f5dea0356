#include "core/layout.h"

#include <gtest/gtest.h>

#include "core/error.h"

namespace quandrel {
namespace {

TEST(Layout, RowsPerPage) {
  const std::pair<std::uint64_t, std::uint64_t> table[] = {
      {0, 4096}, {1, 4096}, {3, 1365}, {100, 40}, {1024, 4},
      {2048, 2}, {3000, 1}, {4096, 1}, {5000, 1},
  };
  for (auto [row_bytes, rows_per_page] : table) {
    const Layout l = Layout::make(2, 10, row_bytes, 1);
    EXPECT_EQ(l.row_bytes, row_bytes);
    EXPECT_EQ(l.rows_per_page, rows_per_page) << "row_bytes " << row_bytes;
  }
  const Layout grid = Layout::make(128, 2'500'012, 7, 1);
  EXPECT_EQ(grid.row_bytes, 7u);
  EXPECT_EQ(grid.rows_per_page, 585u);
  EXPECT_EQ(Layout::make(1, 1, 3, 4).row_bytes, 12u);
}

TEST(Layout, Addressing) {
  const Layout l = Layout::make(4, 1000, 100, 1);
  EXPECT_EQ(l.shard_of(2500), 2u);
  EXPECT_EQ(l.row_in_shard(2500), 500u);
  EXPECT_EQ(l.byte_offset(1999), 99'900u);
  EXPECT_EQ(l.shard_of(4000), 4u);  // outside the table: the gather refuses it
}

TEST(Layout, ZeroRowsPerShardFaultsOnAddressing) {
  const Layout l = Layout::make(4, 0, 8, 1);
  try {
    (void)l.shard_of(0);
    FAIL() << "no fault";
  } catch (const Fault& f) {
    EXPECT_STREQ(f.what(), "attempt to divide by zero");
  }
  EXPECT_THROW((void)Layout::make(1, 1, std::uint64_t{1} << 63, 2), Fault);
}

}  // namespace
}  // namespace quandrel
