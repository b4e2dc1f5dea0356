// open_store, verify_store and _digest128.

#include <string>

#include "class_types.h"
#include "classes.h"
#include "io/digest.h"
#include "io/store_manifest.h"
#include "tables.h"

namespace quandrel::py {
namespace {

constexpr Signature kDigest128{"_digest128()", {"buffer"}};
constexpr Signature kOpenStore{"open_store()", {"dir", "threads"}, 1};

// Below this, letting go of the interpreter lock costs more than hashing.
constexpr std::size_t kUnlockedDigestBytes = std::size_t{1} << 20;

PyObject* digest128(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Borrowed arg;
    if (!parse(kDigest128, CallArgs::fast(args, nargs, kwnames), arg)) return nullptr;
    BufferHold data;
    if (!acquire_input(arg.object, "buffer", data)) return nullptr;
    const std::span<const std::byte> bytes(data.data(), data.size());
    io::Digest128 d;
    if (bytes.size() < kUnlockedDigestBytes) {
      d = io::digest128(bytes);
    } else {
      d = run_unlocked([&] { data.abandon(); }, [&] { return io::digest128(bytes); });
    }
    const std::string hex = io::to_hex(d);
    return PyUnicode_FromStringAndSize(hex.data(), static_cast<Py_ssize_t>(hex.size()));
  });
}

// The manifest of `dir`, or false with FileNotFoundError/OSError (the system
// refused) or ValueError (no valid manifest) set.
bool load_manifest(const std::string& dir, io::StoreManifest& out) {
  Result<io::LoadedManifest> loaded = io::load_store_manifest(dir);
  if (!loaded) {
    raise_os_error(loaded.error());
    return false;
  }
  if (!loaded->problem.empty()) {
    raise(PyExc_ValueError, loaded->problem.c_str());
    return false;
  }
  out = std::move(loaded->manifest);
  return true;
}

PyObject* open_store(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    FsPath dir;
    std::uint64_t threads = kDefaultStoreThreads;
    if (!parse(kOpenStore, CallArgs::fast(args, nargs, kwnames), dir, threads)) return nullptr;
    io::StoreManifest m;
    if (!load_manifest(dir.value, m)) return nullptr;
    // Sizes only: reading every chunk is verify_store's work, not an open's.
    Result<std::string> size_problem = io::file_size_problem(dir.value, m);
    if (!size_problem) return raise_os_error(size_problem.error());
    if (!size_problem->empty()) return raise(PyExc_ValueError, size_problem->c_str());
    return new_store(dir.value, m.geometry, threads);
  });
}

}  // namespace

bool acquire_input(PyObject* o, const char* param, BufferHold& hold) {
  if (!BufferHold::exports(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': a bytes-like object is required, not '%s'", param,
                 type_name(o).c_str());
    return false;
  }
  if (!hold.acquire(o, false)) return false;
  if (!hold.c_contiguous()) {
    PyErr_Format(PyExc_ValueError, "argument '%s': a C-contiguous buffer is required", param);
    return false;
  }
  return true;
}

PyMethodDef* table_functions() {
  static PyMethodDef defs[] = {
      {"open_store", fastcall(open_store), METH_FASTCALL | METH_KEYWORDS,
       "open_store(dir, threads=32)\n--\n\n"
       "Opens the table in `dir` as its manifest describes it, checking that every shard file\n"
       "is there with the size the manifest gives (not its digests: see verify_store)."},
      {"_digest128", fastcall(digest128), METH_FASTCALL | METH_KEYWORDS,
       "_digest128(buffer)\n--\n\n"
       "The XXH3-128 digest of a C-contiguous buffer, as 32 lowercase hex digits."},
      {nullptr, nullptr, 0, nullptr},
  };
  return defs;
}

}  // namespace quandrel::py
