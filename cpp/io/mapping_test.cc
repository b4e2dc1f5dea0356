#include "io/mapping.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "io/backend.h"
#include "io/file.h"
#include "io/reader_mode.h"
#include "io/test_files.h"

namespace quandrel::io {
namespace {

std::span<std::byte> bytes(std::string& s) { return std::as_writable_bytes(std::span(s)); }

class MappingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    content_.resize(10000);
    for (std::size_t i = 0; i < content_.size(); ++i) content_[i] = static_cast<char>(i * 13 + 1);
    path_ = dir_.write("f", content_);
    file_ = std::move(*File::open_read_only(path_));
  }

  // What a mapped read and a pread give for the same range, as text.
  static std::string outcome(Result<std::size_t> n, const std::string& buf) {
    return n ? std::to_string(*n) + ":" + buf : "error:" + n.error().text();
  }
  static std::string outcome(Result<void> r, const std::string& buf) {
    return r ? "ok:" + buf : "error:" + r.error().text();
  }
  void expect_same_as_pread(const Mapping& m) {
    const std::pair<std::uint64_t, std::size_t> ranges[] = {
        {0, 100}, {4000, 200}, {8500, 100}, {9950, 100}, {10000, 10}, {20000, 10}, {5, 0}};
    for (auto [offset, len] : ranges) {
      std::string a(len, '.'), b(len, '.');
      EXPECT_EQ(outcome(m.read_at(bytes(a), offset), a),
                outcome(io::read_at(file_.fd(), bytes(b), offset), b))
          << offset;
      std::string c(len, '.'), d(len, '.');
      EXPECT_EQ(outcome(m.read_exact_at(bytes(c), offset), c),
                outcome(io::read_exact_at(file_.fd(), bytes(d), offset), d))
          << offset;
    }
  }

  testing::TempDir dir_;
  std::string content_, path_;
  File file_;
};

TEST_F(MappingTest, ReadsAsPreadDoesBeforeAndAfterTheFileShrinks) {
  Result<Mapping> m = Mapping::open(file_.fd());
  ASSERT_TRUE(m);
  EXPECT_EQ(m->size(), content_.size());
  expect_same_as_pread(*m);
  EXPECT_TRUE(m->resident(0, 10000));
  EXPECT_FALSE(m->retired());

  // Cut inside the second page, so that the third faults. (The rest of the
  // second page reads as zeros through the mapping: no range here reaches it.)
  ASSERT_EQ(::truncate(path_.c_str(), 5000), 0);
  expect_same_as_pread(*m);
  EXPECT_TRUE(m->retired());
}

TEST_F(MappingTest, EmptyFilesMapEmptyAndPipesDoNotMap) {
  File empty = std::move(*File::open_read_only(dir_.write("e", "")));
  Result<Mapping> m = Mapping::open(empty.fd());
  ASSERT_TRUE(m);
  EXPECT_EQ(m->size(), 0u);
  std::string buf(4, '.');
  EXPECT_EQ(*m->read_at(bytes(buf), 0), 0u);

  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  EXPECT_FALSE(Mapping::open(pipe_fds[0]));
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

TEST_F(MappingTest, WarmingFillsTheResidentPages) {
  Result<Mapping> m = Mapping::open(file_.fd());
  ASSERT_TRUE(m);
  // Just written, so in the page cache: all three pages.
  EXPECT_EQ(warm_resident(*m), (content_.size() + ::sysconf(_SC_PAGESIZE) - 1) /
                                   static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)));
}

TEST(ReaderMode, ParsesTheThreeNamesAndUnset) {
  EXPECT_EQ(parse_reader_mode(nullptr), ReaderMode::kAuto);
  EXPECT_EQ(parse_reader_mode(""), ReaderMode::kAuto);
  EXPECT_EQ(parse_reader_mode("auto"), ReaderMode::kAuto);
  EXPECT_EQ(parse_reader_mode("mapped"), ReaderMode::kMapped);
  EXPECT_EQ(parse_reader_mode("pread"), ReaderMode::kPread);
  for (const char* bad : {"Mapped", "mmap", " pread", "auto "}) {
    EXPECT_EQ(parse_reader_mode(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace quandrel::io
