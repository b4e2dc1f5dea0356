// What it costs to keep a file cut under a mapping from ending the process
// when the program installs its own SIGBUS handlers after ours, per batch of
// hot rows, by design:
//   guard only          guarded copies, the handler installed once (holds
//                       only while nothing is installed after it)
//   guard + check       the same, and one sigaction query per batch that puts
//                       the handler back in front when it was replaced
//   process_vm_readv    copies by the kernel from our own address space, which
//                       fail with EFAULT instead of a signal (no handler)
//   pread               one positional read per row: the floor without a
//                       mapping
// Rows of 64 bytes at random offsets of a 64 MiB file in the page cache.
//
//   c++ -O2 -std=c++20 -Icpp bench/bench_fault_guard.cc cpp/io/read/safe_copy.cc
//       -lpthread -o build/bench_fault_guard          (one line)
//   build/bench_fault_guard
//
// Each figure is the median over 15 rounds of ns of CPU time per batch; the
// designs take turns within a round, so drift on a shared machine hits them
// alike. Exits 0; asserts nothing but that every design copied the same bytes.
#include <sys/mman.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "io/read/safe_copy.h"

using quandrel::io::CopyOp;

namespace {

constexpr std::size_t kRow = 64;
constexpr std::size_t kLen = 64 << 20;

// CPU time of this thread, kernel time included: on a machine shared with
// other work it varies far less than wall time, and nothing here waits.
double now_ns() {
  timespec t;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

struct Batch {
  const char* map;
  int fd;
  std::vector<std::size_t> offsets;
  std::vector<char> out;
};

// As the store copies: 32 ops per guarded call.
void guarded(Batch& b) {
  CopyOp ops[32];
  for (std::size_t i = 0; i < b.offsets.size(); i += 32) {
    const std::size_t n = std::min<std::size_t>(32, b.offsets.size() - i);
    for (std::size_t k = 0; k < n; ++k) ops[k] = {&b.out[(i + k) * kRow], b.map + b.offsets[i + k], kRow};
    if (quandrel::io::safe_copy_many({ops, n}) != n) std::abort();
  }
}

void vm_readv(Batch& b) {
  constexpr std::size_t kIov = 1024;
  iovec local[kIov], remote[kIov];
  for (std::size_t i = 0; i < b.offsets.size(); i += kIov) {
    const std::size_t n = std::min(kIov, b.offsets.size() - i);
    for (std::size_t k = 0; k < n; ++k) {
      local[k] = {&b.out[(i + k) * kRow], kRow};
      remote[k] = {const_cast<char*>(b.map) + b.offsets[i + k], kRow};
    }
    if (::process_vm_readv(::getpid(), local, n, remote, n, 0) != static_cast<ssize_t>(n * kRow)) {
      std::abort();
    }
  }
}

void preads(Batch& b) {
  for (std::size_t i = 0; i < b.offsets.size(); ++i) {
    if (::pread(b.fd, &b.out[i * kRow], kRow, static_cast<off_t>(b.offsets[i])) != kRow) std::abort();
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  char path[] = "/tmp/bench-fault-guard-XXXXXX";
  const int fd = ::mkstemp(path);
  ::unlink(path);
  std::vector<char> chunk(1 << 20);
  std::mt19937_64 rng(1);
  for (auto& c : chunk) c = static_cast<char>(rng());
  for (std::size_t i = 0; i < kLen; i += chunk.size()) {
    if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) return 1;
  }
  const char* map = static_cast<const char*>(::mmap(nullptr, kLen, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0));
  if (map == MAP_FAILED) return 1;
  ::madvise(const_cast<char*>(map), kLen, MADV_RANDOM);
  quandrel::io::keep_copy_fault_handler_first();

  const std::vector<std::pair<std::string, std::function<void(Batch&)>>> designs = {
      {"guard only", guarded},
      {"guard + check", [](Batch& b) { quandrel::io::keep_copy_fault_handler_first(), guarded(b); }},
      {"process_vm_readv", vm_readv},
      {"pread", preads},
  };
  std::printf("ns per batch of hot 64-byte rows (median of 15 rounds)\n%-18s", "rows");
  for (const auto& d : designs) std::printf("%18s", d.first.c_str());
  std::printf("\n");
  for (const std::size_t rows : {1, 16, 65536}) {
    Batch b{map, fd, std::vector<std::size_t>(rows), std::vector<char>(rows * kRow)};
    for (auto& o : b.offsets) o = rng() % (kLen / kRow) * kRow;
    std::vector<std::vector<double>> ns(designs.size());
    std::string first;
    const int calls = static_cast<int>(std::max<std::size_t>(1, 20000 / rows));
    for (int round = 0; round < 15; ++round) {
      for (std::size_t d = 0; d < designs.size(); ++d) {
        std::fill(b.out.begin(), b.out.end(), 0);
        const double t0 = now_ns();
        for (int c = 0; c < calls; ++c) designs[d].second(b);
        ns[d].push_back((now_ns() - t0) / calls);
        const std::string got(b.out.begin(), b.out.end());
        if (first.empty()) first = got;
        if (got != first) std::abort();
      }
    }
    std::printf("%-18zu", rows);
    for (const auto& v : ns) std::printf("%18.0f", median(v));
    std::printf("\n");
  }
  return 0;
}
