#include "io/read/backend.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "io/read/file.h"
#include "io/test_files.h"

namespace quandrel::io {
namespace {

// Short reads, end of file and read errors are checked through the store and
// the view, which read with these functions.

std::span<std::byte> bytes(std::string& s) { return std::as_writable_bytes(std::span(s)); }

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
