#include "io/keyfile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "core/messages.h"

namespace quandrel::io {
namespace {

using Keys = std::vector<std::uint64_t>;
constexpr std::uint64_t kMax = 18446744073709551615u;

class KeyFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quandrel-keys-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  Result<Keys> read(const std::string& bytes) {
    const std::string path = dir_ + "/keys.txt";
    std::ofstream(path, std::ios::binary) << bytes;
    return read_keys(path);
  }
  std::string dir_;
};

TEST(KeyLine, Accepted) {
  const std::pair<std::string, std::uint64_t> cases[] = {
      {"12", 12}, {"+7", 7}, {" \t+7 \r", 7}, {"007", 7}, {"0", 0}, {"+0", 0},
      {"18446744073709551615", kMax}, {"\v\f5", 5},
      {"\u00A05\u3000", 5}, {"\u0085\u16809\u2028\u2029", 9}, {"\u2000\u200A1\u202F\u205F", 1},
  };
  for (const auto& [line, key] : cases) {
    bool blank = true;
    Result<std::uint64_t> r = parse_key_line(line, blank);
    ASSERT_TRUE(r) << line;
    EXPECT_EQ(*r, key) << line;
    EXPECT_FALSE(blank) << line;
  }
}

TEST(KeyLine, Refused) {
  const std::pair<std::string, const char*> cases[] = {
      {"+", msg::kInvalidDigit}, {"-", msg::kInvalidDigit}, {"-0", msg::kInvalidDigit},
      {"-5", msg::kInvalidDigit}, {"++5", msg::kInvalidDigit}, {"12 34", msg::kInvalidDigit},
      {"0x10", msg::kInvalidDigit}, {"1_000", msg::kInvalidDigit}, {"# note", msg::kInvalidDigit},
      {"5 # note", msg::kInvalidDigit}, {"1\r2", msg::kInvalidDigit},
      {"\uFEFF5", msg::kInvalidDigit}, {"\u0663", msg::kInvalidDigit},
      {"\uFF15", msg::kInvalidDigit}, {"\x1C" "5", msg::kInvalidDigit},
      {"18446744073709551615x", msg::kInvalidDigit},
      {"18446744073709551616", msg::kNumberTooLarge},
      {"99999999999999999999x", msg::kNumberTooLarge},
  };
  for (const auto& [line, message] : cases) {
    bool blank = true;
    Result<std::uint64_t> r = parse_key_line(line, blank);
    ASSERT_FALSE(r) << line;
    EXPECT_EQ(r.error().kind(), IoError::Kind::kOther);
    EXPECT_EQ(r.error().text(), message) << line;
  }
}

TEST_F(KeyFileTest, Files) {
  const std::pair<std::string, Keys> cases[] = {
      {"12\n\n  +7  \n", {12, 7}},
      {"1\r\n2\r\n\r\n3", {1, 2, 3}},
      {"1\n2\n\n3", {1, 2, 3}},
      {"3\n1\n3\n", {3, 1, 3}},
      {"", {}},
      {"\n \n\t\r\n\u3000", {}},
      {"18446744073709551615\n", {kMax}},
  };
  for (const auto& [bytes, keys] : cases) {
    Result<Keys> r = read(bytes);
    ASSERT_TRUE(r) << bytes << ": " << r.error().text();
    EXPECT_EQ(*r, keys) << bytes;
  }
}

TEST_F(KeyFileTest, FirstBadLineDecides) {
  const std::pair<std::string, const char*> cases[] = {
      {"1\r2\r", msg::kInvalidDigit},  // a lone CR ends no line
      {"\xEF\xBB\xBF" "1\n", msg::kInvalidDigit},
      {"1\n18446744073709551616\n", msg::kNumberTooLarge},
      {"1\n2\n3\xff\n4\n", msg::kInvalidUtf8},
      {"1\n2\n\xC0\xB1\n", msg::kInvalidUtf8},       // overlong '1'
      {"1\n\xED\xA0\x80\n", msg::kInvalidUtf8},      // surrogate
      {"1\n\xF4\x90\x80\x80\n", msg::kInvalidUtf8},  // above U+10FFFF
      {"1\n2\xE3\x80", msg::kInvalidUtf8},           // cut short at the end
      {"x\n2\n\xff\n", msg::kInvalidDigit},
      {"1\n\xff\nx\n", msg::kInvalidUtf8},
  };
  for (const auto& [bytes, message] : cases) {
    Result<Keys> r = read(bytes);
    ASSERT_FALSE(r) << bytes;
    EXPECT_EQ(r.error().kind(), IoError::Kind::kOther);
    EXPECT_EQ(r.error().text(), message) << bytes;
  }
}

TEST_F(KeyFileTest, OsErrors) {
  Result<Keys> dir = read_keys(dir_);
  ASSERT_FALSE(dir);
  EXPECT_EQ(dir.error().os_code(), EISDIR);
  EXPECT_TRUE(dir.error().text().ends_with("(os error 21)"));
  Result<Keys> missing = read_keys(dir_ + "/missing.txt");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().os_code(), ENOENT);
}

// Reads come 8,192 bytes at a time; lines, CRLF pairs and multi-byte white
// space that straddle a boundary must read as if they did not.
TEST_F(KeyFileTest, LinesStraddlingReads) {
  std::mt19937_64 rng(3);
  std::string text;
  Keys keys;
  while (text.size() < 8140) {
    keys.push_back(rng() >> (rng() % 64));
    text += std::to_string(keys.back()) + "\n";
  }
  Keys expected = keys;
  expected.push_back(1234567890123456789u);
  expected.insert(expected.end(), keys.begin(), keys.end());
  for (std::string pad : {"", "\r", "\u3000"}) {
    const std::string line = pad + "1234567890123456789" + pad + "\n";
    // Over the shifts, byte 8,192 falls on every byte of `line`.
    for (std::size_t shift = 0; shift < 64; ++shift) {
      Result<Keys> r = read(std::string(shift, ' ') + text + line + text);
      ASSERT_TRUE(r) << shift << ": " << r.error().text();
      EXPECT_EQ(*r, expected) << shift;
    }
  }
}

}  // namespace
}  // namespace quandrel::io
