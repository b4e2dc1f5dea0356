#include "io/keyfile.h"

#include <gtest/gtest.h>

#include <random>

#include "io/test_files.h"

namespace quandrel::io {
namespace {

// The messages of bad lines are checked from Python.

// Reads come 8,192 bytes at a time; lines, CRLF pairs and multi-byte white
// space that straddle a boundary must read as if they did not.
TEST(KeyFile, LinesStraddlingReads) {
  testing::TempDir dir;
  std::mt19937_64 rng(3);
  std::string text;
  std::vector<std::uint64_t> keys;
  while (text.size() < 8140) {
    keys.push_back(rng() >> (rng() % 64));
    text += std::to_string(keys.back()) + "\n";
  }
  std::vector<std::uint64_t> expected = keys;
  expected.push_back(1234567890123456789u);
  expected.insert(expected.end(), keys.begin(), keys.end());
  for (std::string pad : {"", "\r", "\u3000"}) {
    const std::string line = pad + "1234567890123456789" + pad + "\n";
    // Over the shifts, byte 8,192 falls on every byte of `line`.
    for (std::size_t shift = 0; shift < 64; ++shift) {
      Result<std::vector<std::uint64_t>> r =
          read_keys(dir.write("keys.txt", std::string(shift, ' ') + text + line + text));
      ASSERT_TRUE(r) << shift << ": " << r.error().text();
      EXPECT_EQ(*r, expected) << shift;
    }
  }
}

}  // namespace
}  // namespace quandrel::io
