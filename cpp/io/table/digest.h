// XXH3-128 digests of byte ranges, the checksums of a store's manifest.
// XXH3 hashes at memory speed on one core, so checking a table is bound by
// the disk; 128 bits make an accidental match of a damaged chunk negligible.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quandrel::io {

// The digest's canonical form: big-endian bytes, as its hex text reads.
using Digest128 = std::array<std::uint8_t, 16>;

inline constexpr char kDigestName[] = "xxh3-128";

// Pure and thread-safe.
Digest128 digest128(std::span<const std::byte> data);

// 32 lowercase hex digits.
std::string to_hex(const Digest128& d);
// The digest of 32 lowercase hex digits; nothing for any other text.
std::optional<Digest128> digest_from_hex(std::string_view hex);

}  // namespace quandrel::io
