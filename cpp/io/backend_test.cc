#include "io/backend.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Every read is positional: what cannot be read at an offset is refused at
// the open, which never waits for a writer.
TEST(FileOpen, StreamsAreRefused) {
  testing::TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A writer keeps a blocking open from hanging the test if the refusal breaks.
  const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  Result<File> refused = File::open_read_only(fifo);
  ::close(writer);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text(), "Illegal seek (os error 29)");

  // A directory opens and fails its reads; a device such as /dev/zero reads.
  std::string buf(4, '.');
  Result<File> directory = File::open_read_only(dir.path());
  ASSERT_TRUE(directory);
  EXPECT_EQ(read_at(directory->fd(), bytes(buf), 0).error().os_code(), EISDIR);
  Result<File> zero = File::open_read_only("/dev/zero");
  ASSERT_TRUE(zero);
  EXPECT_TRUE(read_exact_at(zero->fd(), bytes(buf), 1 << 20));
  EXPECT_EQ(buf, std::string(4, '\0'));
}

}  // namespace
}  // namespace quandrel::io
