// The gather against a model of the files, through every way of reading:
// mappings, plain positional reads, and a backend whose reads come back short.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "io/store/shard_store.h"
#include "io/test_files.h"

namespace quandrel::io {
namespace {

// Returns at most 7 bytes a read, as network and FUSE file systems may.
class ShortReads final : public IoBackend {
 public:
  Result<std::size_t> read_at(int fd, std::span<std::byte> buffer, std::uint64_t offset) const override {
    return io::read_at(fd, buffer.first(std::min<std::size_t>(buffer.size(), 7)), offset);
  }
  Result<void> read_exact_at(int fd, std::span<std::byte> buffer, std::uint64_t offset) const override {
    return io::read_exact_at(fd, buffer, offset);
  }
};

enum class Reader { kMapped, kPread, kShortReads };

struct Case {
  Reader reader;
  std::uint64_t row_bytes;  // 100 crosses pages now and then, 5000 always
  std::size_t rows;         // helpers join from 8192 mapped rows, 33 read rows
  std::uint64_t threads;
  bool evicted = false;     // files dropped from the page cache before opening
};

class GatherModel : public ::testing::TestWithParam<Case> {};

TEST_P(GatherModel, MatchesTheFiles) {
  const Case c = GetParam();
  constexpr std::uint64_t kShards = 3, kRowsPerShard = 500;
  quandrel::testing::TempDir dir;
  std::vector<std::string> files;
  std::mt19937_64 random(c.row_bytes * 31 + c.rows);
  for (std::uint64_t s = 0; s < kShards; ++s) {
    // The last shard ends inside a row and has rows past its end.
    const std::uint64_t size = s + 1 < kShards ? kRowsPerShard * c.row_bytes : 123 * c.row_bytes + 3;
    std::string bytes(size, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    const int fd = ::open(dir.write(shard_file_name("shard_", s), bytes).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    if (c.evicted) {
      ::fsync(fd);
      ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    }
    ::close(fd);
    files.push_back(bytes);
  }
  const Layout layout = Layout{kShards, kRowsPerShard, c.row_bytes};
  Result<ShardStore> g =
      c.reader == Reader::kShortReads
          ? ShardStore::open_with_backend(dir.path(), layout, std::make_unique<ShortReads>())
          : ShardStore::open(dir.path(), layout,
                              c.reader == Reader::kMapped ? ReaderMode::kMapped : ReaderMode::kPread);
  ASSERT_TRUE(g);
  ASSERT_EQ(g->mappings().empty(), c.reader != Reader::kMapped);

  std::vector<std::uint64_t> rowids(c.rows);
  for (std::uint64_t& r : rowids) r = random() % (kShards * kRowsPerShard);
  if (c.rows > 1) rowids[1] = rowids[0];  // duplicates
  std::string expected;
  for (std::uint64_t r : rowids) {
    const std::string& f = files[r / kRowsPerShard];
    const std::uint64_t offset = (r % kRowsPerShard) * c.row_bytes;
    std::string row = offset < f.size() ? f.substr(offset, c.row_bytes) : "";
    row.resize(c.row_bytes, '\0');
    expected += row;
  }
  std::string out(c.rows * c.row_bytes, '\x55');
  ASSERT_TRUE(g->read_rows(rowids, std::as_writable_bytes(std::span(out)), c.threads));
  EXPECT_TRUE(out == expected);
}

std::vector<Case> cases() {
  std::vector<Case> all;
  for (Reader reader : {Reader::kMapped, Reader::kPread, Reader::kShortReads}) {
    for (std::uint64_t row_bytes : {8, 100, 5000}) {
      for (std::size_t rows : {16, 3000}) {
        for (std::uint64_t threads : {1, 4}) all.push_back({reader, row_bytes, rows, threads});
      }
    }
    // Large enough for helpers; and batches whose rows come from the disk.
    all.push_back({reader, 100, 9000, 4});
    for (std::size_t rows : {16, 9000}) all.push_back({reader, 100, rows, 4, true});
  }
  return all;
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  static const char* const kReaders[] = {"Mapped", "Pread", "ShortReads"};
  const Case& c = info.param;
  return std::string(kReaders[static_cast<int>(c.reader)]) + "_" + std::to_string(c.row_bytes) +
         "b_" + std::to_string(c.rows) + "rows_" + std::to_string(c.threads) + "t" +
         (c.evicted ? "_evicted" : "");
}

INSTANTIATE_TEST_SUITE_P(Readers, GatherModel, ::testing::ValuesIn(cases()), case_name);

}  // namespace
}  // namespace quandrel::io
