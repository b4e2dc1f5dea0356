#include "io/read/mapping.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "io/read/positional.h"
#include "io/read/safe_copy.h"

namespace quandrel::io {
namespace {

std::size_t page_size() {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

Mapping::Region::~Region() {
  if (addr != nullptr) ::munmap(addr, len);
}

Result<Mapping> Mapping::open(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return IoError::last_os();
  if (!S_ISREG(st.st_mode)) return IoError::os(ENODEV);
  Mapping m;
  m.fd_ = fd;
  if (st.st_size == 0) return m;
  const auto len = static_cast<std::size_t>(st.st_size);
  // The owner exists before the mapping does: nothing can fail in between.
  auto region = std::make_shared<Region>();
  void* const addr = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
  if (addr == MAP_FAILED) return IoError::last_os();
  region->addr = addr;
  region->len = len;
  // Rows are looked up, not scanned: read-around would only evict others.
  ::madvise(addr, len, MADV_RANDOM);
  m.region_ = std::move(region);
  m.data_ = static_cast<const std::byte*>(addr);
  m.size_ = len;
  return m;
}

bool Mapping::resident(std::uint64_t offset, std::uint64_t len) const noexcept {
  if (!covers(offset, len)) return false;
  if (len == 0) return true;
  const std::size_t page = page_size();
  std::uint64_t first = offset / page;
  const std::uint64_t end = (offset + len - 1) / page + 1;
  unsigned char vec[64];
  while (first < end) {
    const std::size_t pages = std::min<std::uint64_t>(end - first, sizeof vec);
    if (::mincore(const_cast<std::byte*>(data_) + first * page, pages * page, vec) != 0) {
      return false;
    }
    for (std::size_t i = 0; i < pages; ++i) {
      if (!(vec[i] & 1)) return false;
    }
    first += pages;
  }
  return true;
}

bool should_map(int fd, ReaderMode mode) {
  if (mode != ReaderMode::kAuto) return mode == ReaderMode::kMapped;
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0) return true;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE
    case 0x01021997:  // 9P
    case 0x00C36400:  // Ceph
    case 0x5346414F:  // AFS
      return false;
    default:
      return true;
  }
}

}  // namespace quandrel::io
