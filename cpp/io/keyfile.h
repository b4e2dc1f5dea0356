// Key files: UTF-8 text, one decimal unsigned 64-bit key per line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/error.h"
#include "io/read/positional.h"

namespace quandrel::io {

// The keys in file order, or the first error: the OS error of a failed open
// or read, "stream did not contain valid UTF-8", or the parse message of the
// first line that is not a key. A line fails at the first character that
// shows it cannot be a key, without reading the rest of it. The path may name
// a FIFO; opening one waits for its writer. `keep_going` is asked when a
// signal interrupts the open or a read.
Result<std::vector<std::uint64_t>> read_keys(const std::string& path,
                                             const InterruptCheck& keep_going = {});

}  // namespace quandrel::io
