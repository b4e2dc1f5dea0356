// Cold rows three ways, on the same files in one run: the store's read path
// (io_uring on the calling thread, or with QUANDREL_NO_IO_URING=1 mapped
// copies spread over the reader pool), and two rings of this benchmark's own
// (buffered reads straight into the rows' slots, and O_DIRECT reads of whole
// pages). Rows/s and process CPU time per row; the files are evicted from
// the page cache before every run.
//
//   c++ -O2 -std=c++20 -Icpp bench/bench_uring.cc build/dev/libquandrel_engine.a
//       /usr/lib/x86_64-linux-gnu/liburing.a -lpthread -o build/bench_uring   (one line)
//   build/bench_uring DIR SHARDS ROWS_PER_SHARD [ROWS=65536] [DEPTH=64] [RUNS=5]
//
// DIR holds shard_NNN.bin files of 64-byte rows (bench_async.py writes such
// a table). Medians of RUNS runs; the two designs take turns.
#include <fcntl.h>
#include <liburing.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "io/read/uring_reads.h"
#include "io/store/shard_store.h"

namespace {

constexpr std::uint64_t kWidth = 64;

double cpu_s() {
  rusage r{};
  ::getrusage(RUSAGE_SELF, &r);
  return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

void evict(const std::vector<int>& fds) {
  for (int fd : fds) (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

// Keeps `depth` reads in flight until every row is in its slot: buffered
// reads of the row itself, or (with `direct` descriptors) O_DIRECT reads of
// its 4 KiB page into one of `depth` bounce pages, then a copy.
void uring_rows(io_uring& ring, const std::vector<int>& fds, std::uint64_t per_shard,
                const std::vector<std::uint64_t>& ids, std::byte* out, unsigned depth, std::byte* pages) {
  std::size_t next = 0, done = 0;
  unsigned in_flight = 0;
  while (done < ids.size()) {
    while (in_flight < depth && next < ids.size()) {
      io_uring_sqe* sqe = io_uring_get_sqe(&ring);
      if (sqe == nullptr) break;
      const std::uint64_t r = ids[next];
      const std::uint64_t offset = (r % per_shard) * kWidth;
      if (pages == nullptr) {
        io_uring_prep_read(sqe, fds[r / per_shard], out + next * kWidth, kWidth, offset);
      } else {
        // A free bounce page: the slot of the row's index modulo depth is
        // free because at most depth reads are in flight, reaped in any order;
        // use the index itself as the key instead.
        io_uring_prep_read(sqe, fds[r / per_shard], pages + (next % (2 * depth)) * 4096, 4096, offset & ~4095ull);
      }
      sqe->user_data = next;
      ++next;
      ++in_flight;
    }
    io_uring_submit_and_wait(&ring, 1);
    io_uring_cqe* cqe = nullptr;
    unsigned head = 0, seen = 0;
    io_uring_for_each_cqe(&ring, head, cqe) {
      if (cqe->res < 0) std::fprintf(stderr, "read failed: %d\n", cqe->res), std::exit(1);
      if (pages != nullptr) {
        const std::uint64_t i = cqe->user_data;
        std::memcpy(out + i * kWidth, pages + (i % (2 * depth)) * 4096 + ((ids[i] % per_shard) * kWidth & 4095), kWidth);
      }
      ++seen;
    }
    io_uring_cq_advance(&ring, seen);
    in_flight -= seen;
    done += seen;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return std::fprintf(stderr, "usage: %s DIR SHARDS ROWS_PER_SHARD [ROWS] [DEPTH] [RUNS]\n", argv[0]), 2;
  const std::string dir = argv[1];
  const std::uint64_t shards = std::strtoull(argv[2], nullptr, 10), per_shard = std::strtoull(argv[3], nullptr, 10);
  const std::size_t rows = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 65536;
  const unsigned depth = argc > 5 ? std::atoi(argv[5]) : 64;
  const int runs = argc > 6 ? std::atoi(argv[6]) : 5;
  const quandrel::Layout layout{shards, per_shard, kWidth};
  std::vector<int> fds, direct;
  for (std::uint64_t s = 0; s < shards; ++s) {
    fds.push_back(::open(quandrel::io::shard_path(dir, s).c_str(), O_RDONLY));
    direct.push_back(::open(quandrel::io::shard_path(dir, s).c_str(), O_RDONLY | O_DIRECT));
  }
  auto* pages = static_cast<std::byte*>(std::aligned_alloc(4096, 2 * depth * 4096));
  io_uring ring;
  if (int e = io_uring_queue_init(std::max(depth, 8u), &ring, 0); e < 0) return std::fprintf(stderr, "io_uring: %d\n", e), 1;
  std::mt19937_64 rng(1);
  std::vector<std::byte> out(rows * kWidth);
  std::vector<double> rate[3], cpu_row[3];
  for (int run = 0; run < runs; ++run) {
    for (int design = 0; design < 3; ++design) {
      std::vector<std::uint64_t> ids(rows);
      for (auto& r : ids) r = rng() % (shards * per_shard);
      evict(fds);
      // A store opened after the eviction: pages a live mapping holds would survive it.
      auto store = quandrel::io::ShardStore::open(dir, layout);
      const double c0 = cpu_s();
      const auto t0 = std::chrono::steady_clock::now();
      if (design == 0) {
        (void)store->read_rows(ids, out, 32);
      } else if (design == 1) {
        uring_rows(ring, fds, per_shard, ids, out.data(), depth, nullptr);
      } else {
        uring_rows(ring, direct, per_shard, ids, out.data(), depth, pages);
      }
      const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      const double cpu = cpu_s() - c0;
      rate[design].push_back(rows / wall);
      cpu_row[design].push_back(cpu / rows * 1e6);
    }
  }
  auto median = [](std::vector<double> v) { std::sort(v.begin(), v.end()); return v[v.size() / 2]; };
  const quandrel::io::ColdReadEngine& engine = quandrel::io::cold_read_engine();
  std::printf("%zu cold rows, medians of %d runs; the store's engine: %s%s%s\n", rows, runs,
              engine.name.c_str(), engine.uring ? "" : ", because: ", engine.reason.c_str());
  const char* names[3] = {"store read path", "io_uring buffered, 1 thread", "io_uring O_DIRECT 4 KiB, 1 thread"};
  for (int d = 0; d < 3; ++d) {
    std::printf("%-36s depth %-4u %9.0f rows/s  %6.2f us CPU/row\n", names[d], d ? depth : (engine.uring ? quandrel::io::kUringDepth : 32u), median(rate[d]), median(cpu_row[d]));
  }
  return 0;
}
