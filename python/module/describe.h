// What an open store or view tells about itself: its path as Python shows
// paths, a repr, and its read counters as a plain dict.
#pragma once

#include "py_ref.h"

#include <cstdint>
#include <string>

#include "io/read/read_stats.h"

namespace quandrel::py {

// A path as the file system gave it, decoded as os.fsdecode does.
PyObject* path_to_py(const std::string& path);

// "2,500,012".
std::string with_commas(std::uint64_t n);

// "<quandrel.Store '/data/table' 128 x 2,500,012 x 64 B>": the kind, the
// path's repr, then `shape`.
PyObject* describe(const char* kind, const std::string& path, const std::string& shape);

// The dict of Store.stats() and View.stats().
PyObject* stats_dict(const io::ReadTotals& totals);

}  // namespace quandrel::py
