// The key-file reader against a model written from the file format: the
// input is the whole key file.
//
// The model decodes code points one at a time, where the reader works on
// bytes; the two must agree on every key and on the first error's message.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common.h"
#include "core/messages.h"
#include "io/keyfile.h"

namespace {

using namespace quandrel;

// The code point at the front of `line`, and its length in bytes; nothing
// when the front is not strict UTF-8.
std::optional<std::pair<char32_t, std::size_t>> decode_one(std::string_view line) {
  const unsigned char c = line[0];
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
  if (line.size() <= extra) return std::nullopt;
  for (std::size_t k = 1; k <= extra; ++k) {
    const unsigned char t = line[k];
    if ((t & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (t & 0x3F);
  }
  static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kLeast[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  return std::pair{cp, extra + 1};
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

// The reader takes a line character by character and stops at the first
// that cannot continue it: what comes after a bad character is never looked
// at, so whichever error comes first in the text is the one told.
Outcome model(std::string_view text) {
  Outcome o;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf == text.npos ? text.size() : lf + 1);
    enum { kLead, kSign, kDigits, kTrail } state = kLead;
    unsigned __int128 value = 0;
    while (!line.empty()) {
      const auto one = decode_one(line);
      if (!one) return {{}, msg::kInvalidUtf8};
      const auto [c, length] = *one;
      line.remove_prefix(length);
      const bool space = white_space(c);
      if (state == kLead && space) continue;
      if (state == kLead && c == '+') {
        state = kSign;
        continue;
      }
      if (state == kDigits && space) {
        state = kTrail;
        continue;
      }
      if (state == kTrail && space) continue;
      if (state == kTrail || c < '0' || c > '9') return {{}, msg::kInvalidDigit};
      state = kDigits;
      value = value * 10 + (c - '0');
      if (value > UINT64_MAX) return {{}, msg::kNumberTooLarge};
    }
    if (state == kSign) return {{}, msg::kInvalidDigit};
    if (state != kLead) o.keys.push_back(static_cast<std::uint64_t>(value));
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
