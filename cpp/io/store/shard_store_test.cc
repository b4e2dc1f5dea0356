#include "io/store/shard_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "io/test_files.h"

namespace quandrel::io {
namespace {

using Reads = std::vector<std::pair<std::uint64_t, std::size_t>>;  // (offset, size)

// Reads through pread, records every read_at and fails the one at `fail_at_`.
class RecordingBackend : public IoBackend {
 public:
  Result<std::size_t> read_at(int fd, std::span<std::byte> buffer, std::uint64_t offset) const override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      reads_.push_back({offset, buffer.size()});
    }
    if (fail_at_ == offset) return IoError::os(EIO);
    return io::read_at(fd, buffer, offset);
  }
  Result<void> read_exact_at(int fd, std::span<std::byte> buffer, std::uint64_t offset) const override {
    return io::read_exact_at(fd, buffer, offset);
  }
  Reads sorted_reads() const {
    std::lock_guard<std::mutex> lock(mu_);
    Reads reads = reads_;
    std::sort(reads.begin(), reads.end());
    return reads;
  }
  std::uint64_t fail_at_ = ~std::uint64_t{0};

 private:
  mutable std::mutex mu_;
  mutable Reads reads_;
};

// Byte `i` of shard `s`: every byte of a store tells its place apart.
char content(std::uint64_t s, std::uint64_t i) { return static_cast<char>((i * 7 + s * 13 + i / 251) & 0xFF); }

class GatherTest : public ::testing::Test {
 protected:
  void make(std::uint64_t shards, std::uint64_t rows, std::uint64_t row_bytes) {
    layout_ = Layout{shards, rows, row_bytes};
    for (std::uint64_t s = 0; s < shards; ++s) {
      std::string c(rows * row_bytes, '\0');
      for (std::size_t i = 0; i < c.size(); ++i) c[i] = content(s, i);
      dir_.write(shard_file_name("shard_", s), c);
    }
    auto backend = std::make_unique<RecordingBackend>();
    backend_ = backend.get();
    Result<ShardStore> g = ShardStore::open_with_backend(dir_.path(), layout_, std::move(backend));
    ASSERT_TRUE(g);
    gather_.emplace(std::move(*g));
  }

  // The gathered bytes, or the error's text.
  std::string gather(const std::vector<std::uint64_t>& ids) {
    std::string out(ids.size() * layout_.row_bytes, '\x55');
    Result<void> r = gather_->read_rows(ids, std::as_writable_bytes(std::span(out)), 2);
    return r ? out : r.error().text();
  }

  std::string expected(const std::vector<std::uint64_t>& ids) const {
    std::string s;
    for (std::uint64_t id : ids) {
      const std::uint64_t shard = id / layout_.rows_per_shard, start = id % layout_.rows_per_shard * layout_.row_bytes;
      for (std::uint64_t i = start; i < start + layout_.row_bytes; ++i) s += content(shard, i);
    }
    return s;
  }

  testing::TempDir dir_;
  Layout layout_{};
  RecordingBackend* backend_ = nullptr;
  std::optional<ShardStore> gather_;
};

// Rows that share a page are read with one window read; a row alone on its
// page, or across a page boundary, is read on its own.
TEST_F(GatherTest, ReadsPerPage) {
  struct Case { std::uint64_t shards; std::vector<std::uint64_t> ids; Reads reads; };
  const Case cases[] = {
      // 2500 and 2510 share the page at 49152 of shard 2; 17 (twice) and 1999 are alone.
      {3, {2500, 17, 2510, 17, 1999}, {{1700, 100}, {49152, 4096}, {99900, 100}}},
      // Row 40 lies across the boundary at 4096; rows 0 and 1 share page 0.
      {1, {41, 40, 1, 40, 0}, {{0, 4096}, {4000, 100}, {4100, 100}}},
  };
  for (const Case& c : cases) {
    make(c.shards, 1000, 100);
    EXPECT_EQ(gather(c.ids), expected(c.ids));
    EXPECT_EQ(backend_->sorted_reads(), c.reads);
  }
  backend_->fail_at_ = 4000;  // the first failed read is the gather's error
  EXPECT_EQ(gather({1, 40, 999}), "Input/output error (os error 5)");
}

std::string fault_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const Fault& e) {
    return e.what();
  }
  return "no fault";
}

// A row outside the table and a division by zero fault too; the Python
// tests check those through the binding.
TEST_F(GatherTest, OutputTooShortFaults) {
  make(4, 10, 8);
  std::string out(16, '\0');
  auto span = std::as_writable_bytes(std::span(out));
  const std::uint64_t outside[] = {3, 40};
  EXPECT_EQ(fault_text([&] { (void)gather_->read_rows(outside, span, 4); }),
            "index out of bounds: the len is 4 but the index is 4");
  const std::uint64_t two[] = {1, 2};
  EXPECT_EQ(fault_text([&] { (void)gather_->read_rows(two, span.first(12), 4); }),
            "range end index 16 out of range for slice of length 12");
  // The first slot, in input order, that does not fit is the one told.
  const std::uint64_t descending[] = {2, 1};
  EXPECT_EQ(fault_text([&] { (void)gather_->read_rows(descending, span.first(4), 4); }),
            "range end index 8 out of range for slice of length 4");

  const Layout zero = Layout{1, 0, 8};
  dir_.write("shard_000.bin", "");
  Result<ShardStore> g = ShardStore::open(dir_.path(), zero);
  ASSERT_TRUE(g);
  EXPECT_EQ(fault_text([&] { (void)g->read_rows(two, span, 1); }), "attempt to divide by zero");
}

}  // namespace
}  // namespace quandrel::io
