// Several callers at once on one gatherer and one view, each batch spread
// over the pool: the workload the thread sanitizer checks (tests/
// run_sanitizers.sh), and a check of every byte in any build.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "io/store/shard_store.h"
#include "io/test_files.h"
#include "io/view/view.h"

namespace quandrel::io {
namespace {

constexpr std::uint64_t kShards = 6, kRows = 3000, kWidth = 40;

char byte_of(std::uint64_t file, std::uint64_t offset) {
  return static_cast<char>((file * 31 + offset * 7 + (offset >> 9)) & 0xFF);
}

std::string file_bytes(std::uint64_t file, std::uint64_t size) {
  std::string s(size, '\0');
  for (std::uint64_t i = 0; i < size; ++i) s[i] = byte_of(file, i);
  return s;
}

TEST(Concurrent, GathersAndViewReadsFromManyThreads) {
  testing::TempDir dir;
  // The last shard is short: its missing rows read as zeros.
  for (std::uint64_t s = 0; s < kShards; ++s) {
    dir.write(shard_file_name("shard_", s), file_bytes(s, (s + 1 == kShards ? kRows / 3 : kRows) * kWidth));
  }
  const std::string view_path = dir.write("records.bin", file_bytes(99, 5000 * kWidth));
  dir.write("records.manifest.json", "{\"slot_bytes\": 40}");
  const Layout layout = Layout{kShards, kRows, kWidth};
  Result<ShardStore> gather = ShardStore::open(dir.path(), layout);
  // Positional: a view batch takes helpers from a few records, where a mapped
  // one would need a MiB of them.
  Result<ViewReader> view = ViewReader::open(view_path, ReaderMode::kPread);
  ASSERT_TRUE(gather && view);

  auto caller = [&](unsigned seed) {
    std::mt19937_64 rng(seed);
    for (int round = 0; round < 12; ++round) {
      std::vector<std::uint64_t> ids(1 + rng() % 12000);  // helpers join from 4096 mapped rows
      for (auto& id : ids) id = rng() % (kShards * kRows);
      std::vector<std::byte> out(ids.size() * kWidth);
      ASSERT_TRUE(gather->read_rows(ids, out, 1 + rng() % 8));
      for (std::size_t i = 0; i < out.size(); ++i) {
        const std::uint64_t shard = ids[i / kWidth] / kRows;
        const std::uint64_t offset = ids[i / kWidth] % kRows * kWidth + i % kWidth;
        const char want = shard + 1 == kShards && offset >= kRows / 3 * kWidth ? 0 : byte_of(shard, offset);
        ASSERT_EQ(static_cast<char>(out[i]), want) << "row " << ids[i / kWidth];
      }
      for (auto& id : ids) id %= view->count();
      ASSERT_TRUE(view->read_records(ids, out));
      for (std::size_t i = 0; i < out.size(); ++i) {
        ASSERT_EQ(static_cast<char>(out[i]), byte_of(99, ids[i / kWidth] * kWidth + i % kWidth));
      }
    }
  };
  std::vector<std::thread> callers;
  for (unsigned t = 0; t < 4; ++t) callers.emplace_back(caller, t);
  for (std::thread& t : callers) t.join();
}

}  // namespace
}  // namespace quandrel::io
