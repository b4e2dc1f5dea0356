#include "io/read/mapping.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <new>
#include <string>

#include "io/read/positional.h"
#include "io/read/safe_copy.h"
#include "io/read/file.h"
#include "io/test_files.h"

namespace {

// Reads through a mapping as the slot batch does, one range at a time: what
// a positional read of the same range must give.
quandrel::Result<std::size_t> mapped_read_at(const quandrel::io::Mapping& m, std::span<std::byte> buffer,
                                             std::uint64_t offset) {
  if (buffer.size() > 0x7fffffff) buffer = buffer.first(0x7fffffff);
  if (m.covers(offset, buffer.size())) {
    if (quandrel::io::safe_copy(buffer.data(), m.data() + offset, buffer.size())) return buffer.size();
    m.retire();
  }
  return quandrel::io::read_at(m.fd(), buffer, offset);
}

quandrel::Result<void> mapped_read_exact_at(const quandrel::io::Mapping& m, std::span<std::byte> buffer,
                                            std::uint64_t offset) {
  if (m.covers(offset, buffer.size())) {
    if (quandrel::io::safe_copy(buffer.data(), m.data() + offset, buffer.size())) return {};
    m.retire();
  }
  return quandrel::io::read_exact_at(m.fd(), buffer, offset);
}

}  // namespace

// Fails the allocation `g_fail_allocation` from now on (1: the next one) on
// this thread, for the paths that must not leak when memory runs out. Not
// under the thread sanitizer, whose allocator frees what it did not allocate
// once operator new is replaced.
#if !defined(__SANITIZE_THREAD__)
#define QUANDREL_FAILING_ALLOCATIONS 1
thread_local int g_fail_allocation = 0;

// GCC pairs free() with the malloc() it sees inlined, not with the operator
// new these replace.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t n) {
  if (g_fail_allocation > 0 && --g_fail_allocation == 0) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
#endif

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
      const auto n = mapped_read_at(*m, bytes(a), offset), k = read_at(file.fd(), bytes(b), offset);
      EXPECT_EQ(outcome(n, a), outcome(k, b)) << offset;
      if (n && k) {
        EXPECT_EQ(n.value(), k.value()) << offset;
      }
      EXPECT_EQ(outcome(mapped_read_exact_at(*m, bytes(c), offset), c),
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

#if defined(QUANDREL_FAILING_ALLOCATIONS)
bool mapped_in_this_process(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.ends_with(path)) return true;
  }
  return false;
}

TEST(Mapping, RunningOutOfMemoryWhileOpeningLeavesNothingMapped) {
  testing::TempDir dir;
  const std::string path = dir.write("f", std::string(10000, 'x'));
  File file = std::move(*File::open_read_only(path));
  g_fail_allocation = 1;
  EXPECT_THROW((void)Mapping::open(file.fd()), std::bad_alloc);
  g_fail_allocation = 0;
  EXPECT_FALSE(mapped_in_this_process(path));
  {
    Result<Mapping> m = Mapping::open(file.fd());  // the check sees a mapping
    EXPECT_TRUE(m && mapped_in_this_process(path));
  }
  EXPECT_FALSE(mapped_in_this_process(path));
}
#endif

}  // namespace
}  // namespace quandrel::io
