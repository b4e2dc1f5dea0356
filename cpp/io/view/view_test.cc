#include "io/view/view.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <numeric>
#include <random>
#include <vector>

#include "core/messages.h"
#include "io/test_files.h"

namespace quandrel::io {
namespace {

// What the manifest says is checked from Python, through _manifest_info.

class ViewTest : public ::testing::Test {
 protected:
  // A view of `records` slots of `slot` bytes; byte j of record i is (7i + j) % 251.
  std::string write_records(std::uint64_t slot, std::uint64_t records) {
    dir_.write("v.manifest.json", "{\"slot_bytes\": " + std::to_string(slot) + "}");
    std::string bytes(slot * records, '\0');
    for (std::size_t k = 0; k < bytes.size(); ++k) {
      bytes[k] = static_cast<char>((7 * (k / slot) + k % slot) % 251);
    }
    return dir_.write("v.bin", bytes);
  }
  testing::TempDir dir_;
};

TEST(ManifestPath, FinalComponentRule) {
  const std::pair<std::string, std::string> cases[] = {
      {"a.b.bin", "a.b.manifest.json"}, {"name.", "name.manifest.json"},
      {"...", "...manifest.json"}, {".hidden", ".hidden.manifest.json"},
      {"dir.d/records", "dir.d/records.manifest.json"},
      // Trailing slashes and "." components name the same file.
      {"dir/records.bin//./", "dir/records.manifest.json"},
      // No final file name: unchanged.
      {"", ""}, {"/", "/"}, {".", "."}, {"dir/..", "dir/.."}, {"dir/../", "dir/../"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(manifest_path(in), out) << in;
}

// Positional reads take helpers from a few records on (mapped ones only past
// 1 MiB, as the Python suite's asynchronous reads do): the same bytes either
// way, duplicates included.
TEST_F(ViewTest, PooledBatchReadsAsOneThreadDoes) {
  constexpr std::uint64_t kSlot = 13, kRecords = 501;
  Result<ViewReader> v = ViewReader::open(write_records(kSlot, kRecords), ReaderMode::kPread);
  ASSERT_TRUE(v);
  std::mt19937_64 rng(7);
  std::vector<std::uint64_t> indices(1000);
  std::vector<std::byte> expected;
  for (auto& i : indices) {
    i = rng() % kRecords;
    for (std::uint64_t j = 0; j < kSlot; ++j) expected.push_back(std::byte((7 * i + j) % 251));
  }
  for (std::uint64_t parallelism : {1, 32}) {
    std::vector<std::byte> out(indices.size() * kSlot);
    ASSERT_TRUE(v->read_records(indices, out, parallelism)) << parallelism;
    EXPECT_EQ(out, expected) << parallelism;
  }
}

TEST_F(ViewTest, BatchFailures) {
  const std::string path = write_records(16, 100);
  std::vector<std::uint64_t> indices(100);
  std::iota(indices.begin(), indices.end(), 0);
  for (ReaderMode mode : {ReaderMode::kMapped, ReaderMode::kPread}) {
    Result<ViewReader> v = ViewReader::open(path, mode);
    ASSERT_TRUE(v);
    std::vector<std::byte> out(100 * 16 - 1);
    EXPECT_EQ(v->read_records(indices, out).error().text(), msg::kOutputBufferTooSmall);
    // Shortened after the open: only the last record lies past the new end,
    // and a copy from the mapping would read zeros there.
    ASSERT_EQ(::truncate(path.c_str(), 99 * 16 + 10), 0);
    for (std::uint64_t parallelism : {1, 32}) {
      out.resize(100 * 16);
      Result<void> r = v->read_records(indices, out, parallelism);
      EXPECT_EQ(r.error().text(), msg::kEofInsideBuffer);
      EXPECT_EQ(r.error().note(), "view file: " + path);
    }
    write_records(16, 100);
  }
}

}  // namespace
}  // namespace quandrel::io
