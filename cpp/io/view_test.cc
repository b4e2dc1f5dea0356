#include "io/view.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <numeric>
#include <random>
#include <vector>

#include "core/messages.h"
#include "io/test_files.h"

namespace quandrel::io {
namespace {

constexpr std::uint64_t kMax = 18446744073709551615u;

class ViewTest : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& bytes) {
    return dir_.write(name, bytes);
  }
  // A view of `records` slots of `slot` bytes; byte j of record i is (7i + j) % 251.
  std::string write_records(std::uint64_t slot, std::uint64_t records) {
    write("v.manifest.json", "{\"slot_bytes\": " + std::to_string(slot) + "}");
    std::string bytes(slot * records, '\0');
    for (std::size_t k = 0; k < bytes.size(); ++k) {
      bytes[k] = static_cast<char>((7 * (k / slot) + k % slot) % 251);
    }
    return write("v.bin", bytes);
  }
  testing::TempDir dir_;
};

std::vector<std::byte> record_of(std::uint64_t slot, std::uint64_t i) {
  std::vector<std::byte> r(slot);
  for (std::size_t j = 0; j < slot; ++j) r[j] = std::byte((7 * i + j) % 251);
  return r;
}

TEST(ManifestPath, FinalComponentRule) {
  const std::pair<std::string, std::string> cases[] = {
      {"records.bin", "records.manifest.json"},
      {"a.b.bin", "a.b.manifest.json"},
      {"name.", "name.manifest.json"},
      {"...", "...manifest.json"},
      {"records", "records.manifest.json"},
      {".hidden", ".hidden.manifest.json"},
      {"/data/x.y/records.bin", "/data/x.y/records.manifest.json"},
      {"dir.d/records", "dir.d/records.manifest.json"},
      // Trailing slashes and "." components name the same file.
      {"dir/records.bin/", "dir/records.manifest.json"},
      {"dir/records.bin//./", "dir/records.manifest.json"},
      // No final file name: unchanged.
      {"", ""}, {"/", "/"}, {".", "."}, {"..", ".."}, {"dir/..", "dir/.."}, {"dir/../", "dir/../"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(manifest_path(in), out) << in;
}

TEST_F(ViewTest, ManifestValues) {
  using State = ManifestInfo::State;
  struct Case { std::string json; std::uint64_t slot, grans; State state; };
  const std::string pad(kManifestMaxBytes - 17, ' ');
  const Case cases[] = {
      {R"({"slot_bytes": 4096, "grans": 3, "other": [1]})", 4096, 3, State::kUsed},
      {R"({"slot_bytes": 18446744073709551615})", kMax, 0, State::kUsed},
      {R"({"slot_bytes": 0})", 0, 0, State::kUsed},
      {R"({"slot_bytes": 1, "slot_bytes": 2})", 2, 0, State::kUsed},
      {"{}", 2560, 0, State::kUsed},
      // Refused values give that key's default; the other key is unaffected.
      {R"({"slot_bytes": -0, "grans": 9})", 2560, 9, State::kIgnored},
      {R"({"slot_bytes": -1})", 2560, 0, State::kIgnored},
      {R"({"slot_bytes": 4096.0})", 2560, 0, State::kIgnored},
      {R"({"slot_bytes": 4e3})", 2560, 0, State::kIgnored},
      {R"({"slot_bytes": "4096"})", 2560, 0, State::kIgnored},
      {R"({"slot_bytes": null})", 2560, 0, State::kIgnored},
      {R"({"slot_bytes": true})", 2560, 0, State::kIgnored},
      {R"({"slot_bytes": 18446744073709551616})", 2560, 0, State::kIgnored},
      {R"({"slot_bytes": 512, "grans": 1.5})", 512, 0, State::kIgnored},
      // Not one JSON object: both defaults.
      {R"({"slot_bytes": 4096} x)", 2560, 0, State::kIgnored},
      {"", 2560, 0, State::kIgnored},
      {"[4096]", 2560, 0, State::kIgnored},
      {"{\"slot_bytes\": 4096, \"n\": \"\xff\"}", 2560, 0, State::kIgnored},
      {"\xEF\xBB\xBF{\"slot_bytes\": 4096}", 2560, 0, State::kIgnored},
      {R"({"slot_bytes": 4096,})", 2560, 0, State::kIgnored},
      // 1 MiB is the most a manifest may hold.
      {pad + R"({"slot_bytes": 8})", 8, 0, State::kUsed},
      {pad + R"({"slot_bytes": 8} )", 2560, 0, State::kIgnored},
  };
  for (const Case& c : cases) {
    write("v.manifest.json", c.json);
    Result<ManifestInfo> info = read_manifest(dir_.path() + "/v.bin");
    const std::string shown = c.json.size() > 100 ? c.json.substr(c.json.size() - 20) : c.json;
    ASSERT_TRUE(info) << shown;
    EXPECT_EQ(info->slot.slot_bytes, c.slot) << shown;
    EXPECT_EQ(info->slot.grans, c.grans) << shown;
    EXPECT_EQ(info->state, c.state) << shown;
    EXPECT_EQ(info->reason.empty(), c.state == State::kUsed) << shown << info->reason;
  }
}

// A manifest that exists but cannot be read fails the open with its path
// attached; one that never ends is read no further than the limit.
TEST_F(ViewTest, ManifestThatCannotBeRead) {
  write("v.bin", std::string(5120, 'x'));
  const std::string manifest = dir_.file("v.manifest.json");
  const std::string view = dir_.file("v.bin");

  Result<ManifestInfo> absent = read_manifest(view);
  ASSERT_TRUE(absent);
  EXPECT_EQ(absent->state, ManifestInfo::State::kAbsent);
  EXPECT_EQ(absent->path, manifest);

  std::filesystem::create_symlink("/dev/zero", manifest);
  Result<ManifestInfo> endless = read_manifest(view);
  ASSERT_TRUE(endless);
  EXPECT_EQ(endless->reason, "larger than 1 MiB");
  std::filesystem::remove(manifest);

  std::filesystem::create_directory(manifest);
  Result<ViewReader> from_dir = ViewReader::open(view);
  ASSERT_FALSE(from_dir);
  EXPECT_EQ(from_dir.error().os_code(), EISDIR);
  EXPECT_EQ(from_dir.error().note(), "manifest: " + manifest);
  std::filesystem::remove(manifest);

  // A FIFO would block the open until a writer came, perhaps never.
  ASSERT_EQ(::mkfifo(manifest.c_str(), 0600), 0);
  Result<ViewReader> from_fifo = ViewReader::open(view);
  ASSERT_FALSE(from_fifo);
  EXPECT_EQ(from_fifo.error().os_code(), ESPIPE);
  EXPECT_EQ(from_fifo.error().note(), "manifest: " + manifest);
}

TEST_F(ViewTest, ReadRecord) {
  Result<ViewReader> v = ViewReader::open(write_records(4096, 7));
  ASSERT_TRUE(v);
  std::vector<std::byte> dest(4096 + 3, std::byte{0xAA});

  Result<std::uint64_t> past = read_record(*v, 7, dest);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().kind(), IoError::Kind::kInvalidInput);
  EXPECT_EQ(past.error().text(), "view record index 7 out of range (count 7)");

  ASSERT_EQ(*read_record(*v, 6, dest), 4096u);
  EXPECT_TRUE(std::equal(dest.begin(), dest.begin() + 4096, record_of(4096, 6).begin()));
  EXPECT_EQ(dest.back(), std::byte{0xAA});  // past the slot: untouched

  ASSERT_EQ(*read_record(*v, 3, std::span(dest).first(10)), 10u);
  EXPECT_TRUE(std::equal(dest.begin(), dest.begin() + 10, record_of(4096, 3).begin()));

  // The file is gone below record 6, so only a call that reads nothing succeeds.
  ASSERT_EQ(::truncate((dir_.path() + "/v.bin").c_str(), 0), 0);
  EXPECT_EQ(*read_record(*v, 6, {}), 0u);
  EXPECT_EQ(read_record(*v, 6, dest).error().text(), msg::kEofInsideBuffer);
}

TEST_F(ViewTest, BatchIsIndependentOfParallelism) {
  constexpr std::uint64_t kSlot = 13, kRecords = 501;
  Result<ViewReader> v = ViewReader::open(write_records(kSlot, kRecords));
  ASSERT_TRUE(v);
  std::mt19937_64 rng(7);
  for (std::size_t n : {0, 1, 3, 4, 5, 33, 100, 1000}) {
    std::vector<std::uint64_t> indices(n);
    for (auto& i : indices) i = rng() % (n / 2 + 1);  // plenty of duplicates
    std::vector<std::byte> expected;
    for (auto i : indices) for (auto b : record_of(kSlot, i)) expected.push_back(b);
    for (std::uint64_t parallelism : {0, 1, 2, 3, 32, 5000}) {
      std::vector<std::byte> out(n * kSlot);
      ASSERT_TRUE(read_records_parallel(*v, indices, out, parallelism)) << n << " " << parallelism;
      EXPECT_EQ(out, expected) << n << " " << parallelism;
    }
  }
}

TEST_F(ViewTest, BatchChecksEverythingBeforeReading) {
  Result<ViewReader> v = ViewReader::open(write_records(16, 10));
  ASSERT_TRUE(v);
  std::vector<std::uint64_t> indices(100, 1);
  indices.back() = 10;
  for (std::uint64_t parallelism : {1, 32}) {
    std::vector<std::byte> out(100 * 16 - 1, std::byte{0xAA});
    EXPECT_EQ(read_records_parallel(*v, indices, out, parallelism).error().text(),
              msg::kOutputBufferTooSmall);
    out.push_back(std::byte{0xAA});
    Result<void> r = read_records_parallel(*v, indices, out, parallelism);
    EXPECT_EQ(r.error().text(), "view record index 10 out of range (count 10)");
    EXPECT_EQ(out, std::vector<std::byte>(100 * 16, std::byte{0xAA}));
  }
  EXPECT_TRUE(read_records(*v, {}, {}));
}

TEST_F(ViewTest, SlotTimesCountOverflowIsTooSmall) {
  write("big.manifest.json", R"({"slot_bytes": 9223372036854775808})");
  Result<ViewReader> v = ViewReader::open(write("big.bin", "x"));
  ASSERT_TRUE(v);
  const std::uint64_t indices[] = {0, 0};
  EXPECT_EQ(read_records(*v, indices, {}).error().text(), msg::kOutputBufferTooSmall);
}

TEST_F(ViewTest, FileShortenedAfterOpen) {
  Result<ViewReader> v = ViewReader::open(write_records(64, 100));
  ASSERT_TRUE(v);
  ASSERT_EQ(::truncate((dir_.path() + "/v.bin").c_str(), 99 * 64 + 10), 0);
  std::vector<std::uint64_t> indices(100);
  std::iota(indices.begin(), indices.end(), 0);
  for (std::uint64_t parallelism : {1, 32}) {
    std::vector<std::byte> out(100 * 64);
    Result<void> r = read_records_parallel(*v, indices, out, parallelism);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), IoError::Kind::kUnexpectedEof);
    EXPECT_EQ(r.error().text(), msg::kEofInsideBuffer);
  }
}

}  // namespace
}  // namespace quandrel::io
