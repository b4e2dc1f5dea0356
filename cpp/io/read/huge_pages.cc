#include "io/read/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace quandrel::io {
namespace {

constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
constexpr std::size_t kAdvisedFrom = 2 * kHugePage;

}  // namespace

void advise_huge_pages(std::span<std::byte> output) noexcept {
  if (output.size() < kAdvisedFrom) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(output.data());
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + output.size()) & ~(kHugePage - 1);
  if (last > first) (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace quandrel::io
