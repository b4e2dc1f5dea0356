// Texts that the engine reports. Callers compare them verbatim, so they are
// part of the interface: keep every one here, where they can be read together.
#pragma once

#include <cstdint>
#include <string>

namespace quandrel::msg {

// Faults.
inline constexpr char kDivideByZero[] = "attempt to divide by zero";
inline constexpr char kCapacityOverflow[] = "capacity overflow";
inline constexpr char kP0[] = "P0: 分片网格与 padded 表必须闭合";

// I/O errors with a message of their own.
inline constexpr char kEofInsideBuffer[] = "read_exact_at: eof inside buffer";
inline constexpr char kNulInFileName[] = "file name contained an unexpected NUL byte";
inline constexpr char kOutputBufferTooSmall[] = "read_records: output buffer too small";
inline constexpr char kInvalidDigit[] = "invalid digit found in string";
inline constexpr char kNumberTooLarge[] = "number too large to fit in target type";
inline constexpr char kInvalidUtf8[] = "stream did not contain valid UTF-8";
inline constexpr char kEofWhileReadingPage[] = "EOF while reading page";

// I/O errors whose message carries numbers.
inline std::string view_index_out_of_range(std::uint64_t index, std::uint64_t count) {
  return "view record index " + std::to_string(index) + " out of range (count " +
         std::to_string(count) + ")";
}

}  // namespace quandrel::msg
