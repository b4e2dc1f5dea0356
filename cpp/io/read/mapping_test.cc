#include "io/read/mapping.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <new>
#include <string>

#include "io/read/file.h"
#include "io/test_files.h"

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
