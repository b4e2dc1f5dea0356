#include "io/backend.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/file.h"
#include "io/test_files.h"

namespace quandrel::io {
namespace {

std::span<std::byte> bytes(std::string& s) { return std::as_writable_bytes(std::span(s)); }

class BackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = std::move(*File::open_read_only(dir_.write("f", "0123456789")));
  }
  testing::TempDir dir_;
  File file_;
  PreadvBackend backend_;
};

TEST_F(BackendTest, EmptyBufferNeedsNoDescriptor) {
  EXPECT_TRUE(backend_.read_exact_at(-1, {}, 0));
}

TEST_F(BackendTest, ReadAtIsShortNearTheEndAndZeroPastIt) {
  std::string buf(4, '.');
  Result<std::size_t> n = backend_.read_at(file_.fd(), bytes(buf), 8);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 2u);
  EXPECT_EQ(buf, "89..");
  n = backend_.read_at(file_.fd(), bytes(buf), 100);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 0u);
}

TEST_F(BackendTest, ReadExactAtFailsAtEndOfFileKeepingWhatItRead) {
  std::string buf(4, '.');
  Result<void> r = backend_.read_exact_at(file_.fd(), bytes(buf), 7);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), IoError::Kind::kUnexpectedEof);
  EXPECT_EQ(r.error().text(), "read_exact_at: eof inside buffer");
  EXPECT_EQ(buf, "789.");
}

TEST_F(BackendTest, OsErrorsPassThrough) {
  std::string buf(4, '.');
  Result<void> r = backend_.read_exact_at(-1, bytes(buf), 0);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().os_code(), EBADF);
  EXPECT_EQ(r.error().text(), "Bad file descriptor (os error 9)");
}

TEST_F(BackendTest, ReadManyStopsAtTheFirstFailure) {
  std::string a(3, '.'), b(4, '.'), c(2, '.');
  const ReadRequest requests[] = {{0, bytes(a)}, {8, bytes(b)}, {0, bytes(c)}};
  Result<void> r = backend_.read_many(file_.fd(), requests);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "read_exact_at: eof inside buffer");
  EXPECT_EQ(a, "012");
  EXPECT_EQ(b, "89..");
  EXPECT_EQ(c, "..");
  EXPECT_TRUE(backend_.read_many(file_.fd(), {}));
}

}  // namespace
}  // namespace quandrel::io
