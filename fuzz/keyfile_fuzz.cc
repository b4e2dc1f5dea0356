// The key-file reader against a model written from the file format: the
// input is the whole key file.
//
// The model decodes code points one at a time and trims on code points, where
// the reader works on bytes; the two must agree on every key and on the first
// error's message.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common.h"
#include "core/messages.h"
#include "io/keyfile.h"

namespace {

using namespace quandrel;

// The code points of `line`, or nothing when it is not strict UTF-8.
std::optional<std::vector<char32_t>> decode(std::string_view line) {
  std::vector<char32_t> out;
  for (std::size_t i = 0; i < line.size();) {
    const unsigned char c = line[i];
    std::size_t extra;
    char32_t cp;
    if (c < 0x80) {
      extra = 0, cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, cp = c & 0x07;
    } else {
      return std::nullopt;
    }
    if (line.size() - i <= extra) return std::nullopt;
    for (std::size_t k = 1; k <= extra; ++k) {
      const unsigned char t = line[i + k];
      if ((t & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (t & 0x3F);
    }
    static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    out.push_back(cp);
    i += extra + 1;
  }
  return out;
}

bool white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

struct Outcome {
  std::vector<std::uint64_t> keys;
  std::string error;  // "" on success
};

Outcome model(std::string_view text) {
  Outcome o;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    const std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf == text.npos ? text.size() : lf + 1);
    std::optional<std::vector<char32_t>> cps = decode(line);
    if (!cps) return {{}, msg::kInvalidUtf8};
    std::size_t b = 0, e = cps->size();
    while (b < e && white_space((*cps)[b])) ++b;
    while (e > b && white_space((*cps)[e - 1])) --e;
    if (b == e) continue;
    if ((*cps)[b] == '+' && e - b > 1) ++b;
    unsigned __int128 value = 0;
    for (std::size_t i = b; i < e; ++i) {
      const char32_t c = (*cps)[i];
      if (c < '0' || c > '9') return {{}, msg::kInvalidDigit};
      value = value * 10 + (c - '0');
      if (value > UINT64_MAX) return {{}, msg::kNumberTooLarge};
    }
    o.keys.push_back(static_cast<std::uint64_t>(value));
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string path = fuzz::write_file("keys.txt", text);
  Result<std::vector<std::uint64_t>> got = io::read_keys(path);
  const Outcome want = model(text);
  if (!want.error.empty()) {
    if (got) fuzz::mismatch("accepted", want.error);
    if (got.error().text() != want.error) fuzz::mismatch("message", got.error().text() + " vs " + want.error);
  } else {
    if (!got) fuzz::mismatch("refused", got.error().text());
    if (*got != want.keys) fuzz::mismatch("keys");
  }
  return 0;
}
