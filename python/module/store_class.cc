// Store: a sharded table of fixed-width rows. Usable from any thread, also
// from several at once: its state never changes after construction, and the
// gather runs with the interpreter lock released.

#include <memory>

#include "buffer.h"
#include "module_types.h"
#include "class_base.h"
#include "core/layout.h"
#include "describe.h"
#include "io/read/reader_mode.h"
#include "io/store/shard_store.h"
#include "io/table/store_manifest.h"

namespace quandrel::py {
namespace {

struct StoreState {
  static constexpr const char* kName = "Store";
  static constexpr const char* kTypeName = "builtins.Store";
  static constexpr const char* kBoundPath = nullptr;

  io::ShardStore store;
  std::uint64_t threads;
  std::string dir;  // as opened
};

using StoreClass = Class<StoreState>;

constexpr Signature kNew{"Store.__new__()", {"dir", "shards", "rows_per_shard", "width", "threads"}, 4};
constexpr Signature kFetch{"Store.fetch()", {"rowids"}};
constexpr Signature kFetchOne{"Store.fetch_one()", {"rowid"}};
constexpr Signature kFetchInto{"Store.fetch_into()", {"rowids", "out"}};

PyObject* store_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    FsPath dir;
    std::uint64_t shards = 0, rows_per_shard = 0, width = 0, threads = kDefaultStoreThreads;
    if (!parse(kNew, CallArgs::tuple(args, kwargs), dir, shards, rows_per_shard, width, threads)) {
      return nullptr;
    }
    // A table opened with another geometry than it was written with would
    // serve garbage rows.
    const io::StoreGeometry geometry{shards, rows_per_shard, width};
    Result<std::string> mismatch = io::geometry_mismatch(dir.value, geometry);
    if (!mismatch) return raise_os_error(mismatch.error());
    if (!mismatch->empty()) return raise(PyExc_ValueError, mismatch->c_str());
    return new_store(dir.value, geometry, threads);
  });
}

// One bytes object of len(rowids) rows, gathered without the interpreter lock.
PyObject* fetch_rows(const StoreState& s, std::span<const std::uint64_t> rowids) {
  if (rowids.empty()) return PyBytes_FromStringAndSize("", 0);
  const std::uint64_t size = s.store.output_bytes(rowids);  // faults on what no read could serve
  char* data = nullptr;
  Ref out = new_bytes_for_overwrite(size, &data);  // the read writes every byte
  if (!out) return nullptr;
  const Result<void> gathered = run_unlocked([&] { (void)out.release(); }, [&] {
    return s.store.read_rows(rowids, {reinterpret_cast<std::byte*>(data), size}, s.threads);
  });
  if (!gathered) return raise_os_error(gathered.error());
  return out.release();
}

PyObject* fetch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<std::uint64_t> rowids;
    const StoreState* s = StoreClass::parse_method(kFetch, self, CallArgs::fast(args, nargs, kwnames), rowids);
    return s ? fetch_rows(*s, rowids) : nullptr;
  });
}

PyObject* fetch_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::uint64_t rowid = 0;
    const StoreState* s = StoreClass::parse_method(kFetchOne, self, CallArgs::fast(args, nargs, kwnames), rowid);
    return s ? fetch_rows(*s, std::span(&rowid, 1)) : nullptr;
  });
}

PyObject* close(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return StoreClass::receive(self) ? Py_NewRef(Py_None) : nullptr; });
}

PyObject* width_of(const StoreState& s) { return to_py(s.store.layout().row_bytes); }
PyObject* total_rows_of(const StoreState& s) {
  return to_py(s.store.layout().shards * s.store.layout().rows_per_shard);  // modulo 2^64
}
PyObject* shards_of(const StoreState& s) { return to_py(s.store.layout().shards); }
PyObject* rows_per_shard_of(const StoreState& s) { return to_py(s.store.layout().rows_per_shard); }
PyObject* threads_of(const StoreState& s) { return to_py(s.threads); }
PyObject* dir_of(const StoreState& s) { return path_to_py(s.dir); }

PyObject* stats(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const StoreState* s = StoreClass::receive(self);
    return s ? stats_dict(s->store.stats().totals()) : nullptr;
  });
}

PyObject* repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const StoreState* s = StoreClass::peek(self);
    if (s == nullptr) return nullptr;
    const Layout& l = s->store.layout();
    return describe("Store", s->dir, with_commas(l.shards) + " x " + with_commas(l.rows_per_shard) +
                                         " x " + with_commas(l.row_bytes) + " B");
  });
}

// As fetch, with the rows written into the caller's buffer `out`, which stays
// exported (so it cannot move or shrink) while the gather runs unlocked.
PyObject* fetch_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<std::uint64_t> rowids;
    Borrowed out_arg;
    const StoreState* s = StoreClass::parse_method(kFetchInto, self, CallArgs::fast(args, nargs, kwnames),
                                                   rowids, out_arg);
    if (s == nullptr) return nullptr;
    BufferHold out;
    if (!acquire_output(out_arg.object, "out", out)) return nullptr;
    const unsigned __int128 expected = static_cast<unsigned __int128>(s->store.layout().row_bytes) * rowids.size();
    if (!check_output_size(out, "out", expected, out.size(), "bytes")) return nullptr;
    if (rowids.empty()) return Py_NewRef(Py_None);
    (void)s->store.output_bytes(rowids);  // faults on what no read could serve
    const Result<void> gathered = run_unlocked([&] { out.abandon(); }, [&] {
      return s->store.read_rows(rowids, {out.data(), out.size()}, s->threads);
    });
    if (!gathered) return raise_os_error(gathered.error());
    return Py_NewRef(Py_None);
  });
}

PyMethodDef methods[] = {
    {"fetch", fastcall(fetch), METH_FASTCALL | METH_KEYWORDS, "fetch($self, rowids)\n--\n\n"},
    {"fetch_one", fastcall(fetch_one), METH_FASTCALL | METH_KEYWORDS, "fetch_one($self, rowid)\n--\n\n"},
    {"close", close, METH_NOARGS, kCloseDocWithSignature},
    {"fetch_into", fastcall(fetch_into), METH_FASTCALL | METH_KEYWORDS,
     "fetch_into($self, rowids, out)\n--\n\n"
     "Writes the rows of `rowids`, in order, into `out`: a writable C-contiguous buffer of\n"
     "exactly len(rowids) * width bytes. Returns None."},
    {"stats", stats, METH_NOARGS,
     "stats($self)\n--\n\n"
     "Counters of the reads since the store was opened, as a new dict (see the README)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"width", StoreClass::property<width_of>, nullptr, nullptr, nullptr},
    {"total_rows", StoreClass::property<total_rows_of>, nullptr, nullptr, nullptr},
    {"shards", StoreClass::property<shards_of>, nullptr, nullptr, nullptr},
    {"rows_per_shard", StoreClass::property<rows_per_shard_of>, nullptr, nullptr, nullptr},
    {"threads", StoreClass::property<threads_of>, nullptr, nullptr, nullptr},
    {"dir", StoreClass::property<dir_of>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* new_store(const std::string& dir, const io::StoreGeometry& g, std::uint64_t threads) {
  const std::optional<io::ReaderMode> mode = io::reader_mode_from_env();
  if (!mode) return raise(PyExc_ValueError, io::kReaderModeError);
  Result<io::ShardStore> store = io::ShardStore::open(dir, Layout{g.shards, g.rows_per_shard, g.width}, *mode);
  if (!store) return raise_os_error(store.error());
  // The page tables are left to fill on first touch: one fault maps up to
  // 16 resident pages, so a first-touch row costs about 0.4 us against
  // 0.1 us warm, while filling them ahead costs more processor time in all
  // than the faults it saves, on a core that serving needs.
  PyObject* type = store_class();
  if (type == nullptr) return nullptr;
  return StoreClass::wrap(reinterpret_cast<PyTypeObject*>(type),
                          std::unique_ptr<StoreState>(new StoreState{std::move(*store), threads, dir}));
}

PyObject* store_class() {
  PyObject* type = StoreClass::ready(methods, getset, store_new,
                                     "Store(dir, shards, rows_per_shard, width, threads=...)\n--\n\n",
                                     repr);
  if (type == nullptr) return nullptr;
  // Members added later follow every member that Store had before them,
  // properties included, in the order they were added.
  for (const char* name : {"fetch_into", "shards", "rows_per_shard", "threads", "dir", "stats"}) {
    if (!move_member_to_end(type, name)) return nullptr;
  }
  return type;
}

}  // namespace quandrel::py
