#include "io/table/digest.h"

// Header-only and static: the module exports no xxHash symbol and needs no
// shared library at run time.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace quandrel::io {

Digest128 digest128(std::span<const std::byte> data) {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, XXH3_128bits(data.data(), data.size()));
  Digest128 d;
  static_assert(sizeof canonical.digest == sizeof d);
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = canonical.digest[i];
  return d;
}

std::string to_hex(const Digest128& d) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(2 * d.size(), '0');
  for (std::size_t i = 0; i < d.size(); ++i) {
    hex[2 * i] = kDigits[d[i] >> 4];
    hex[2 * i + 1] = kDigits[d[i] & 0xf];
  }
  return hex;
}

std::optional<Digest128> digest_from_hex(std::string_view hex) {
  Digest128 d{};
  if (hex.size() != 2 * d.size()) return std::nullopt;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < d.size(); ++i) {
    const int hi = nibble(hex[2 * i]), lo = nibble(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    d[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return d;
}

}  // namespace quandrel::io
