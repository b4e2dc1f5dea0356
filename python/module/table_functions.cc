// open_store, verify_store and _digest128.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "module_types.h"
#include "class_base.h"
#include "io/table/digest.h"
#include "io/table/store_verify.h"
#include "io/table/store_manifest.h"
#include "tables.h"

namespace quandrel::py {
namespace {

constexpr Signature kDigest128{"_digest128()", {"buffer"}};
constexpr Signature kOpenStore{"open_store()", {"dir", "threads"}, 1};
constexpr Signature kStoreGeometry{"_store_geometry()", {"dir"}};
constexpr Signature kVerifyStore{"verify_store()", {"dir", "threads", "progress"}, 1, 1};

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
// refused) or ValueError (no valid manifest) set; given `absent`, a missing
// manifest (or directory) sets it and no exception.
bool load_manifest(const std::string& dir, io::StoreManifest& out, bool* absent = nullptr) {
  Result<io::LoadedManifest> loaded = io::load_store_manifest(dir);
  if (!loaded && absent != nullptr && io::is_absent(loaded.error())) {
    *absent = true;
    return false;
  }
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

// (shards, rows_per_shard, width) from the manifest, None without one.
PyObject* store_geometry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    FsPath dir;
    if (!parse(kStoreGeometry, CallArgs::fast(args, nargs, kwnames), dir)) return nullptr;
    io::StoreManifest m;
    bool absent = false;
    if (!load_manifest(dir.value, m, &absent)) return absent ? Py_NewRef(Py_None) : nullptr;
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(m.geometry.shards),
                         static_cast<unsigned long long>(m.geometry.rows_per_shard),
                         static_cast<unsigned long long>(m.geometry.width));
  });
}

// The workers read and hash without the interpreter lock; this thread wakes
// every tenth of a second to report progress and to let signal handlers run
// (one that raises, like Ctrl-C's, stops the run with its exception).
PyObject* verify_store(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    FsPath dir;
    std::uint64_t threads = 0;
    Borrowed progress;
    if (!parse(kVerifyStore, CallArgs::fast(args, nargs, kwnames), dir, threads, progress)) return nullptr;
    const bool report = progress.object != nullptr && progress.object != Py_None;
    if (report && !PyCallable_Check(progress.object)) {
      return raise(PyExc_TypeError, "argument 'progress': a callable or None is required");
    }
    io::StoreManifest m;
    if (!load_manifest(dir.value, m)) return nullptr;
    const unsigned workers = static_cast<unsigned>(std::min<std::uint64_t>(threads, 1024));
    std::vector<std::string> problems;
    bool stopped = false;
    {
      WithoutGil unlocked;
      io::Verification run(dir.value, m, workers);
      while (!stopped && !run.wait_for(std::chrono::milliseconds(100))) {
        stopped = !unlocked.relocked([&] {
          if (PyErr_CheckSignals() != 0) return false;
          if (!report) return true;
          Ref r(PyObject_CallFunction(progress.object, "KK", static_cast<unsigned long long>(run.bytes_done()),
                                      static_cast<unsigned long long>(run.bytes_total())));
          return static_cast<bool>(r);
        });
      }
      if (stopped) run.cancel();
      // Leaving the scope waits for the workers.
      if (!stopped) problems = run.problems();
    }
    if (stopped) return nullptr;
    return list_of<std::string>(problems);
  });
}

}  // namespace

bool acquire_input(PyObject* o, const char* param, BufferHold& hold) {
  if (BufferHold::exports(o)) {
    if (!hold.acquire(o, false)) return false;
  } else if (DlpackImport::offered_by(o)) {
    if (!hold.acquire_tensor(o)) {
      name_argument_in_error(param);
      return false;
    }
  } else {
    PyErr_Format(PyExc_TypeError, "argument '%s': a bytes-like object is required, not '%s'", param,
                 type_name(o).c_str());
    return false;
  }
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
      {"verify_store", fastcall(verify_store), METH_FASTCALL | METH_KEYWORDS,
       "verify_store(dir, *, threads=0, progress=None)\n--\n\n"
       "Reads every chunk of the table in `dir` and compares its digest with the manifest's.\n"
       "Returns the problems found, one line each (\"shard_017.bin: bytes 4194304-8388607: digest\n"
       "mismatch\"), empty when the table is sound. `threads` readers (0: one per processor, at\n"
       "least four); `progress(bytes_done, bytes_total)` is called about ten times a second."},
      {"_store_geometry", fastcall(store_geometry), METH_FASTCALL | METH_KEYWORDS,
       "_store_geometry(dir)\n--\n\n"
       "(shards, rows_per_shard, width) from the table's manifest; None when it has none."},
      {"_digest128", fastcall(digest128), METH_FASTCALL | METH_KEYWORDS,
       "_digest128(buffer)\n--\n\n"
       "The XXH3-128 digest of a C-contiguous buffer, as 32 lowercase hex digits."},
      {nullptr, nullptr, 0, nullptr},
  };
  return defs;
}

}  // namespace quandrel::py
