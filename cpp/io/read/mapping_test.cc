#include "io/read/mapping.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "io/read/positional.h"
#include "io/read/file.h"
#include "io/test_files.h"

namespace quandrel::io {
namespace {

std::span<std::byte> bytes(std::string& s) { return std::as_writable_bytes(std::span(s)); }

template <class T>
std::string outcome(const Result<T>& r, const std::string& buf) {
  return r ? buf : "error:" + r.error().text();
}

TEST(Mapping, ReadsAsPreadDoesBeforeAndAfterTheFileShrinks) {
  testing::TempDir dir;
  std::string content(10000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 13 + 1);
  const std::string path = dir.write("f", content);
  File file = std::move(*File::open_read_only(path));
  Result<Mapping> m = Mapping::open(file.fd());
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->resident(0, 10000));

  auto expect_same_as_pread = [&] {
    for (auto [offset, len] : {std::pair<std::uint64_t, std::size_t>{0, 100}, {4000, 200},
                               {8500, 100}, {9950, 100}, {20000, 10}}) {
      std::string a(len, '.'), b(len, '.'), c(len, '.'), d(len, '.');
      const auto n = m->read_at(bytes(a), offset), k = read_at(file.fd(), bytes(b), offset);
      EXPECT_EQ(outcome(n, a), outcome(k, b)) << offset;
      if (n && k) {
        EXPECT_EQ(n.value(), k.value()) << offset;
      }
      EXPECT_EQ(outcome(m->read_exact_at(bytes(c), offset), c),
                outcome(read_exact_at(file.fd(), bytes(d), offset), d))
          << offset;
    }
  };
  expect_same_as_pread();
  // Cut inside the second page, so that the third faults. (The rest of the
  // second page reads as zeros through the mapping: no range here reaches it.)
  ASSERT_EQ(::truncate(path.c_str(), 5000), 0);
  expect_same_as_pread();
  EXPECT_TRUE(m->retired());
}

}  // namespace
}  // namespace quandrel::io
