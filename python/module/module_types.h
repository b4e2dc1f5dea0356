// The classes of the module; each is made once per process and returned
// borrowed (null with an exception set on failure).
#pragma once

#include "py_ref.h"

#include <cstdint>
#include <string>

#include "io/table/store_manifest.h"
#include "messages.h"

namespace quandrel::py {

PyObject* store_class();

inline constexpr std::uint64_t kDefaultStoreThreads = 32;

// A new Store over `dir` (its manifest, if any, already checked against `g`
// by the caller): OSError when a shard cannot be opened, ValueError for a
// bad QUANDREL_READER.
PyObject* new_store(const std::string& dir, const io::StoreGeometry& g, std::uint64_t threads);
PyObject* view_class();
PyObject* page_reader_class();

// The docstring of both close() methods, after their text signature.
#define QUANDREL_CLOSE_DOC "Compatibility no-op for the ctypes API (resources are dropped with the object)."
inline constexpr char kCloseDocWithSignature[] = "close($self)\n--\n\n" QUANDREL_CLOSE_DOC;
#undef QUANDREL_CLOSE_DOC

}  // namespace quandrel::py
