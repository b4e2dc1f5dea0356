#include "io/store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <mutex>
#include <string>
#include <vector>

#include "core/messages.h"
#include "io/test_files.h"

namespace quandrel::io {
namespace {

using testing::TempDir;

// Content that tells every byte of a shard file apart.
std::string shard_bytes(int shard, std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + shard * 13 + i / 251) & 0xFF);
  return s;
}

// Reads through pread and records every read_at.
class RecordingBackend : public IoBackend {
 public:
  struct Read {
    int fd;
    std::uint64_t offset;
    std::size_t size;
  };
  Result<std::size_t> read_at(int fd, std::span<std::byte> buffer, std::uint64_t offset) const override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      reads_.push_back({fd, offset, buffer.size()});
    }
    if (fail_at_ == offset) return IoError::os(EIO);
    return io::read_at(fd, buffer, offset);
  }
  Result<void> read_exact_at(int fd, std::span<std::byte> buffer, std::uint64_t offset) const override {
    return io::read_exact_at(fd, buffer, offset);
  }
  std::vector<Read> reads() const {
    std::lock_guard<std::mutex> lock(mu_);
    return reads_;
  }
  std::uint64_t fail_at_ = ~std::uint64_t{0};

 private:
  mutable std::mutex mu_;
  mutable std::vector<Read> reads_;
};

std::string fault_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const Fault& e) {
    return e.what();
  }
  return "no fault";
}

// --- Opening -------------------------------------------------------------

TEST(StoreOpen, ShardFileNames) {
  EXPECT_EQ(shard_file_name("shard_", 0), "shard_000.bin");
  EXPECT_EQ(shard_file_name("ziruv_", 42), "ziruv_042.bin");
  EXPECT_EQ(shard_file_name("shard_", 1000), "shard_1000.bin");
}

TEST(StoreOpen, MissingShardFailsAndClosesWhatWasOpened) {
  TempDir d;
  for (int i : {0, 1, 2, 4, 5, 6, 7}) d.write(shard_file_name("shard_", i), "x");
  const Layout layout = Layout::make(8, 1, 1, 1);
  const int before = testing::open_descriptor_count();
  Result<ZiruvGather> g = ZiruvGather::open(d.path(), layout);
  ASSERT_FALSE(g);
  EXPECT_EQ(g.error().os_code(), ENOENT);
  EXPECT_EQ(g.error().text(), "No such file or directory (os error 2)");
  EXPECT_EQ(testing::open_descriptor_count(), before);
}

TEST(StoreOpen, NulInDirectory) {
  const Layout layout = Layout::make(1, 1, 1, 1);
  Result<ZiruvGather> g = ZiruvGather::open(std::string("/tmp\0x", 6), layout);
  ASSERT_FALSE(g);
  EXPECT_EQ(g.error().kind(), IoError::Kind::kInvalidInput);
  EXPECT_EQ(g.error().text(), "file name contained an unexpected NUL byte");
}

TEST(StoreOpen, ClosingReleasesEveryDescriptor) {
  TempDir d;
  for (int i = 0; i < 5; ++i) d.write(shard_file_name("ziruv_", i), "x");
  const Layout layout = Layout::make(5, 1, 1, 1);
  const int before = testing::open_descriptor_count();
  {
    Result<ZiruvGather> g = ZiruvGather::open(d.path() + "/", layout);
    ASSERT_TRUE(g);
    EXPECT_EQ(testing::open_descriptor_count(), before + 5);
  }
  EXPECT_EQ(testing::open_descriptor_count(), before);
}

// --- Gather ----------------------------------------------------------------

class GatherTest : public ::testing::Test {
 protected:
  // `shards` files of `rows` rows of `row_bytes` each.
  void make(std::uint64_t shards, std::uint64_t rows, std::uint64_t row_bytes) {
    layout_ = Layout::make(shards, rows, row_bytes, 1);
    for (std::uint64_t s = 0; s < shards; ++s) {
      contents_.push_back(shard_bytes(static_cast<int>(s), rows * row_bytes));
      dir_.write(shard_file_name("shard_", s), contents_.back());
    }
    auto backend = std::make_unique<RecordingBackend>();
    backend_ = backend.get();
    Result<ZiruvGather> g = ZiruvGather::open_with_backend(dir_.path(), layout_, std::move(backend));
    ASSERT_TRUE(g);
    gather_.emplace(std::move(*g));
  }

  std::string expected_row(std::uint64_t id) const {
    const std::size_t off = (id % layout_.rows_per_shard) * layout_.row_bytes;
    return contents_[id / layout_.rows_per_shard].substr(off, layout_.row_bytes);
  }

  std::string gather(const std::vector<std::uint64_t>& ids, std::uint64_t threads) {
    std::string out(ids.size() * layout_.row_bytes, '\x55');
    Result<void> r = gather_->gather_pp(ids, std::as_writable_bytes(std::span(out)), threads);
    EXPECT_TRUE(r) << r.error().text();
    return out;
  }

  std::string expected(const std::vector<std::uint64_t>& ids) const {
    std::string s;
    for (std::uint64_t id : ids) s += expected_row(id);
    return s;
  }

  TempDir dir_;
  Layout layout_{};
  std::vector<std::string> contents_;
  RecordingBackend* backend_ = nullptr;
  std::optional<ZiruvGather> gather_;
};

// (offset, size) of every read, in order of offset.
std::vector<std::pair<std::uint64_t, std::size_t>> sorted_reads(const RecordingBackend& b) {
  std::vector<std::pair<std::uint64_t, std::size_t>> reads;
  for (const auto& r : b.reads()) reads.push_back({r.offset, r.size});
  std::sort(reads.begin(), reads.end());
  return reads;
}

TEST_F(GatherTest, WorkedExample) {
  make(3, 1000, 100);
  const std::vector<std::uint64_t> ids = {2500, 17, 2510, 17, 1999};
  EXPECT_EQ(gather(ids, 2), expected(ids));
  // Rows 2500 and 2510 share the page at 49152 of shard 2: one window read.
  // Row 17 (twice) and row 1999 are alone on their pages: one row read each.
  EXPECT_EQ(sorted_reads(*backend_),
            (std::vector<std::pair<std::uint64_t, std::size_t>>{{1700, 100}, {49152, 4096}, {99900, 100}}));
}

TEST_F(GatherTest, RowsAcrossPageBoundariesAreReadOnTheirOwn) {
  make(1, 1000, 100);
  // Row 40 lies at 4000..4099, across the boundary at 4096; rows 0 and 1
  // share page 0; row 41 is alone on page 4096.
  const std::vector<std::uint64_t> ids = {41, 40, 1, 40, 0};
  EXPECT_EQ(gather(ids, 1), expected(ids));
  EXPECT_EQ(sorted_reads(*backend_),
            (std::vector<std::pair<std::uint64_t, std::size_t>>{{0, 4096}, {4000, 100}, {4100, 100}}));
}

TEST_F(GatherTest, FirstFailedReadIsReturned) {
  make(2, 1000, 100);
  backend_->fail_at_ = 50000;  // row 1500, alone on its page
  std::string out(300, '\0');
  const std::uint64_t ids[] = {1, 1500, 1999};
  Result<void> r = gather_->gather_pp(ids, std::as_writable_bytes(std::span(out)), 2);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "Input/output error (os error 5)");
}

TEST_F(GatherTest, Faults) {
  make(4, 10, 8);
  std::string out(16, '\0');
  auto span = std::as_writable_bytes(std::span(out));
  const std::uint64_t outside[] = {3, 40};
  EXPECT_EQ(fault_text([&] { (void)gather_->gather_pp(outside, span, 4); }),
            "index out of bounds: the len is 4 but the index is 4");
  const std::uint64_t two[] = {1, 2};
  EXPECT_EQ(fault_text([&] { (void)gather_->gather_pp(two, span.first(12), 4); }),
            "range end index 16 out of range for slice of length 12");
  // The first slot, in input order, that does not fit is the one told.
  const std::uint64_t descending[] = {2, 1};
  EXPECT_EQ(fault_text([&] { (void)gather_->gather_pp(descending, span.first(4), 4); }),
            "range end index 8 out of range for slice of length 4");

  const Layout zero = Layout::make(1, 0, 8, 1);
  dir_.write("shard_000.bin", "");
  Result<ZiruvGather> g = ZiruvGather::open(dir_.path(), zero);
  ASSERT_TRUE(g);
  EXPECT_EQ(fault_text([&] { (void)g->gather_pp(two, span, 1); }), "attempt to divide by zero");
}

}  // namespace
}  // namespace quandrel::io
