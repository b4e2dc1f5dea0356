// What a page of a mapping costs before its rows can be copied, and what a
// row costs afterwards, against pread. Memory-speed figures: the file is in
// the page cache throughout.
//
//   c++ -O2 -std=c++20 -Icpp bench/bench_mapping.cc cpp/io/read/safe_copy.cc
//       cpp/io/read/mapping.cc cpp/io/read/positional.cc cpp/core/error.cc -lpthread
//       -o build/bench_mapping          (one line)
//   build/bench_mapping [MiB=256]
//
// Each figure is the median of 7 runs, in CPU time of the thread; the methods take turns within a run,
// so drift on a shared machine hits them alike. Exits 0; asserts nothing.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "io/read/positional.h"
#include "io/read/mapping.h"
#include "io/read/safe_copy.h"

using namespace quandrel::io;

namespace {

std::size_t g_page = 4096;
std::size_t g_len = 0;
int g_fd = -1;

// CPU time of this thread, kernel time included (page faults and reads are
// spent there): on a machine shared with other work it varies far less than
// wall time, and nothing here waits for a disk.
double thread_seconds() {
  timespec ts;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double seconds_of(const std::function<void()>& fn) {
  const double t0 = thread_seconds();
  fn();
  return thread_seconds() - t0;
}

// Fills in the page tables of the resident pages of `m`: one read fault maps
// every resident page of its 64 KiB window (the kernel's fault-around, which
// random-access advice leaves on), so one guarded touch per window does it.
// Reads nothing from the disk: mincore keeps it to pages already in memory.
std::size_t warm_resident(const Mapping& m) {
  constexpr std::size_t kWindow = 16;   // pages per fault-around window
  constexpr std::size_t kSlice = 2048;  // pages per mincore call: 8 MiB
  const std::size_t pages = (m.size() + g_page - 1) / g_page;
  std::vector<unsigned char> vec(kSlice);
  std::size_t warmed = 0;
  for (std::size_t at = 0; at < pages; at += kSlice) {
    const std::size_t n = std::min(kSlice, pages - at);
    if (::mincore(const_cast<std::byte*>(m.data()) + at * g_page, n * g_page, vec.data()) != 0) break;
    for (std::size_t w = 0; w < n; w += kWindow) {
      const std::size_t end = std::min(n, w + kWindow);
      std::size_t first = end, resident = 0;
      for (std::size_t i = w; i < end; ++i) {
        if (vec[i] & 1) {
          if (first == end) first = i;
          ++resident;
        }
      }
      std::byte sink;
      if (resident == 0) continue;
      if (!safe_copy(&sink, m.data() + (at + first) * g_page, 1)) return warmed;
      warmed += resident;
    }
  }
  return warmed;
}

const char* map_file(int extra_flags, bool random_advice) {
  void* p = ::mmap(nullptr, g_len, PROT_READ, MAP_SHARED | extra_flags, g_fd, 0);
  if (p == MAP_FAILED) std::abort();
  if (random_advice) ::madvise(p, g_len, MADV_RANDOM);
  return static_cast<const char*>(p);
}

// Reads one byte of every `stride`-th page; the sum keeps the loads.
unsigned touch(const char* base, std::size_t stride) {
  unsigned sum = 0;
  for (std::size_t off = 0; off < g_len; off += stride * g_page) {
    sum += static_cast<unsigned char>(*static_cast<const volatile char*>(base + off));
  }
  return sum;
}

volatile unsigned g_sink;

// Nanoseconds per page to make every page of a fresh mapping readable
// without a fault, by one method: {set-up, first full touch afterwards}.
struct PageCost {
  double setup, touch;
};

PageCost warm_cost(const std::string& method) {
  const double pages = static_cast<double>(g_len / g_page);
  const char* base = nullptr;
  double setup = 0;
  if (method == "touch, MADV_RANDOM") {
    base = map_file(0, true);
  } else if (method == "touch, default advice") {
    base = map_file(0, false);
  } else if (method == "MAP_POPULATE") {
    setup = seconds_of([&] { base = map_file(MAP_POPULATE, true); });
  } else if (method == "MADV_WILLNEED") {
    base = map_file(0, true);
    setup = seconds_of([&] { ::madvise(const_cast<char*>(base), g_len, MADV_WILLNEED); });
  } else if (method == "MADV_POPULATE_READ") {
    base = map_file(0, true);
    setup = seconds_of(
        [&] { ::madvise(const_cast<char*>(base), g_len, MADV_POPULATE_READ); });
  } else if (method == "mincore + MADV_POPULATE_READ per resident run") {
    base = map_file(0, true);
    setup = seconds_of([&] {
      std::vector<unsigned char> vec(g_len / g_page);
      ::mincore(const_cast<char*>(base), g_len, vec.data());
      for (std::size_t i = 0; i < vec.size();) {
        std::size_t j = i;
        while (j < vec.size() && (vec[j] & 1)) ++j;
        if (j > i) ::madvise(const_cast<char*>(base) + i * g_page, (j - i) * g_page, MADV_POPULATE_READ);
        i = j + 1;
      }
    });
  } else if (method == "warm_resident (mincore + touch per 64 KiB)") {
    Mapping m = std::move(*Mapping::open(g_fd));
    setup = seconds_of([&] { warm_resident(m); });
    const double t = seconds_of([&] { g_sink = touch(reinterpret_cast<const char*>(m.data()), 1); });
    return {setup * 1e9 / pages, t * 1e9 / pages};
  } else if (method == "touch every 16th page, MADV_RANDOM") {
    base = map_file(0, true);
    setup = seconds_of([&] { g_sink = touch(base, 16); });
  } else if (method == "touch every 16th page, default advice") {
    base = map_file(0, false);
    setup = seconds_of([&] { g_sink = touch(base, 16); });
  }
  const double t = seconds_of([&] { g_sink = touch(base, 1); });
  ::munmap(const_cast<char*>(base), g_len);
  return {setup * 1e9 / pages, t * 1e9 / pages};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  g_page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  g_len = mib << 20;
  char path[] = "/tmp/bench-mapping-XXXXXX";
  g_fd = ::mkstemp(path);
  ::unlink(path);
  std::vector<char> chunk(1 << 20);
  std::mt19937_64 rng(1);
  for (auto& c : chunk) c = static_cast<char>(rng());
  for (std::size_t i = 0; i < mib; ++i) {
    if (::write(g_fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) return 1;
  }
  ::fsync(g_fd);
  {
    const char* warm = map_file(MAP_POPULATE, false);  // page cache now holds it all
    ::munmap(const_cast<char*>(warm), g_len);
  }
  std::printf("file: %zu MiB, %zu pages of %zu bytes, in the page cache\n", mib,
              g_len / g_page, g_page);

  const std::vector<std::string> methods = {
      "touch, MADV_RANDOM",        "touch, default advice",
      "MAP_POPULATE",              "MADV_WILLNEED",
      "MADV_POPULATE_READ",        "mincore + MADV_POPULATE_READ per resident run",
      "warm_resident (mincore + touch per 64 KiB)",
      "touch every 16th page, MADV_RANDOM", "touch every 16th page, default advice"};
  std::map<std::string, std::vector<PageCost>> costs;
  for (int run = 0; run < 7; ++run) {
    for (const auto& m : methods) costs[m].push_back(warm_cost(m));
  }
  std::printf("\nns per page: set-up, then a first touch of every page after it\n");
  for (const auto& m : methods) {
    std::vector<double> s, t;
    for (const auto& c : costs[m]) {
      s.push_back(c.setup);
      t.push_back(c.touch);
    }
    std::printf("  %-42s %8.1f %8.1f  total %8.1f\n", m.c_str(), median(s), median(t),
                median(s) + median(t));
  }

  // 256-byte rows at random offsets inside pages: a warm mapping (page
  // tables filled) with safe_copy and with plain memcpy, against pread.
  constexpr std::size_t kRow = 256, kRows = 100000;
  std::vector<std::uint64_t> offs(kRows);
  for (auto& o : offs) o = (rng() % (g_len / kRow)) * kRow;
  Mapping m = std::move(*Mapping::open(g_fd));
  warm_resident(m);
  std::vector<char> out(kRow);
  std::vector<char> many(kRows * kRow);
  std::vector<CopyOp> ops(kRows);
  const std::vector<std::pair<std::string, std::function<void()>>> rows = {
      {"safe_copy, one call per row", [&] {
         for (auto o : offs) safe_copy(out.data(), m.data() + o, kRow);
       }},
      {"safe_copy_many, one call per batch", [&] {
         for (std::size_t i = 0; i < kRows; ++i) ops[i] = {&many[i * kRow], m.data() + offs[i], kRow};
         safe_copy_many(ops);
       }},
      {"memcpy, no guard", [&] {
         for (auto o : offs) {
           std::memcpy(out.data(), m.data() + o, kRow);
           asm volatile("" ::"r"(out.data()) : "memory");
         }
       }},
      {"pread", [&] {
         for (auto o : offs) {
           if (!read_at(g_fd, std::as_writable_bytes(std::span(out)), o)) std::abort();
         }
       }},
      {"safe_copy on a fresh mapping (first touch)", [&] {
         Mapping fresh = std::move(*Mapping::open(g_fd));
         for (std::size_t i = 0; i < kRows / 10; ++i) {
           safe_copy(out.data(), fresh.data() + offs[i], kRow);
         }
       }},
  };
  std::map<std::string, std::vector<double>> row_ns;
  for (int run = 0; run < 7; ++run) {
    for (std::size_t k = 0; k < rows.size(); ++k) {
      const auto& [name, fn] = rows[(k + run) % rows.size()];
      const double n = name.find("fresh") != std::string::npos ? kRows / 10 : kRows;
      row_ns[name].push_back(seconds_of(fn) * 1e9 / n);
    }
  }
  std::printf("\nns per 256-byte row at a random offset (page tables warm unless fresh)\n");
  for (const auto& [name, fn] : rows) {
    std::printf("  %-44s %8.1f\n", name.c_str(), median(row_ns[name]));
  }
  std::printf("  pread / safe_copy: %.1f\n",
              median(row_ns["pread"]) / median(row_ns["safe_copy, one call per row"]));
  return 0;
}
