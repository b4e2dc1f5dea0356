// Key files: UTF-8 text, one decimal unsigned 64-bit key per line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace quandrel::io {

// The keys in file order, or the first error: the OS error of a failed open
// or read, "stream did not contain valid UTF-8", or the parse message of the
// first line that is not a key.
Result<std::vector<std::uint64_t>> read_keys(const std::string& path);

// One line, without its terminator: trimmed of Unicode white space, then an
// optional '+' and decimal digits. `blank` is set when nothing is left after
// trimming. Exposed for tests.
Result<std::uint64_t> parse_key_line(std::string_view line, bool& blank);

}  // namespace quandrel::io
