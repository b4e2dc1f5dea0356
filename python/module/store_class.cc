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
#include "io/async/async_read.h"
#include "io/store/shard_store.h"
#include "io/table/store_manifest.h"
#include "read_handle.h"

namespace quandrel::py {
namespace {

struct StoreState {
  static constexpr const char* kName = "Store";
  static constexpr const char* kTypeName = "builtins.Store";
  static constexpr const char* kBoundPath = nullptr;

  io::ShardStore store;
  std::uint64_t threads;
  std::string dir;  // as opened
  // Last, so that it goes first: prefetches read the store's files.
  mutable io::ReadsInFlight prefetches;
};

using StoreClass = Class<StoreState>;

constexpr Signature kNew{"Store.__new__()", {"dir", "shards", "rows_per_shard", "width", "threads"}, 4};
constexpr Signature kFetch{"Store.fetch()", {"rowids"}};
constexpr Signature kFetchOne{"Store.fetch_one()", {"rowid"}};
constexpr Signature kFetchInto{"Store.fetch_into()", {"rowids", "out"}};
constexpr Signature kFetchIntoAsync{"Store.fetch_into_async()", {"rowids", "out"}};
constexpr Signature kPrefetch{"Store.prefetch()", {"rowids"}};

// Rows per chunk of an async read, the unit that a cancel does not cut: each
// still a batch large enough for the gather to spread over the pool.
constexpr std::size_t kAsyncChunkRows = 16384;
// Rows per chunk of a prefetch: every row of a chunk is asked of the device
// before its pages are waited for, so that the requests overlap.
constexpr std::size_t kPrefetchChunkRows = 4096;


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
    CallIds rowids;
    const StoreState* s = StoreClass::parse_method(kFetch, self, CallArgs::fast(args, nargs, kwnames), rowids.ids);
    return s ? fetch_rows(*s, rowids.ids) : nullptr;
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

// The arguments of fetch_into and its async form, converted and checked:
// what either raises before reading, it raises here.
struct IntoCall {
  const StoreState* s = nullptr;
  std::vector<std::uint64_t> rowids;
  PyObject* rowids_arg = nullptr;
  PyObject* out_arg = nullptr;
  std::unique_ptr<BufferHold> out = std::make_unique<BufferHold>();

  std::span<std::byte> out_span() const { return {out->data(), out->size()}; }
};

bool parse_into(const Signature& sig, PyObject* self, const CallArgs& call, IntoCall& c) {
  Borrowed rowids, out;
  c.s = StoreClass::parse_method(sig, self, call, rowids, out);
  if (c.s == nullptr || !convert_slot(sig, 0, rowids.object, c.rowids)) return false;
  c.rowids_arg = rowids.object;
  c.out_arg = out.object;
  if (!acquire_output(out.object, "out", *c.out)) return false;
  const unsigned __int128 expected = static_cast<unsigned __int128>(c.s->store.layout().row_bytes) * c.rowids.size();
  if (!check_output_size(*c.out, "out", expected, c.out->size(), "bytes")) return false;
  if (!c.rowids.empty()) (void)c.s->store.output_bytes(c.rowids);  // faults on what no read could serve
  return true;
}

// As fetch, with the rows written into the caller's buffer `out`, which stays
// exported (so it cannot move or shrink) while the gather runs unlocked.
PyObject* fetch_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IntoCall c;
    if (!parse_into(kFetchInto, self, CallArgs::fast(args, nargs, kwnames), c)) return nullptr;
    if (c.rowids.empty()) return Py_NewRef(Py_None);
    const Result<void> gathered = run_unlocked([&] { c.out->abandon(); }, [&] {
      return c.s->store.read_rows(c.rowids, c.out_span(), c.s->threads);
    });
    if (!gathered) return raise_os_error(gathered.error());
    return Py_NewRef(Py_None);
  });
}

// As fetch_into, returning a ReadHandle at once. The handle keeps the store,
// `out` and a buffer `rowids` until the read ends.
PyObject* fetch_into_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IntoCall c;
    if (!parse_into(kFetchIntoAsync, self, CallArgs::fast(args, nargs, kwnames), c)) return nullptr;
    const std::span<std::byte> out = c.out_span();
    ReadBorrows borrows{Ref::borrow(self), Ref::borrow(c.out_arg), std::move(c.out), nullptr};
    const io::ShardStore* store = &c.s->store;
    const std::uint64_t threads = c.s->threads;
    return start_item_read(
        std::move(c.rowids), c.rowids_arg, out, store->layout().row_bytes, kAsyncChunkRows,
        [store, threads](auto ids, auto slots) { return store->read_rows(ids, slots, threads); },
        std::move(borrows), store,
        [store, threads](std::span<const io::ItemsInto> batches) { return store->read_rows(batches, threads); });
  });
}

// Starts bringing the rows into memory and returns; only argument errors are
// raised. The store waits for its prefetches (cancelling what has not
// started) before it closes its files.
PyObject* prefetch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<std::uint64_t> rowids;
    const StoreState* s = StoreClass::parse_method(kPrefetch, self, CallArgs::fast(args, nargs, kwnames), rowids);
    if (s == nullptr) return nullptr;
    if (rowids.empty()) return Py_NewRef(Py_None);
    const std::size_t n = rowids.size();
    auto read = std::make_shared<io::AsyncRead>(
        n, kPrefetchChunkRows, [g = &s->store, ids = std::move(rowids)](std::size_t first, std::size_t last) {
          g->prefetch({ids.data() + first, last - first});
          return Result<void>();
        });
    s->prefetches.add(read);
    io::start_async(std::move(read));
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
    {"fetch_into_async", fastcall(fetch_into_async), METH_FASTCALL | METH_KEYWORDS,
     "fetch_into_async($self, rowids, out)\n--\n\n"
     "As fetch_into, started and returned at once: a ReadHandle whose result() is `out`."},
    {"prefetch", fastcall(prefetch), METH_FASTCALL | METH_KEYWORDS,
     "prefetch($self, rowids)\n--\n\n"
     "Starts bringing the rows of `rowids` into memory and returns. Raises only argument errors."},
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
                          std::unique_ptr<StoreState>(new StoreState{std::move(*store), threads, dir, {}}));
}

PyObject* store_class() {
  PyObject* type = StoreClass::ready(methods, getset, store_new,
                                     "Store(dir, shards, rows_per_shard, width, threads=...)\n--\n\n",
                                     repr);
  if (type == nullptr) return nullptr;
  // Members added later follow every member that Store had before them,
  // properties included, in the order they were added.
  for (const char* name : {"fetch_into", "shards", "rows_per_shard", "threads", "dir", "stats",
                           "fetch_into_async", "prefetch"}) {
    if (!move_member_to_end(type, name)) return nullptr;
  }
  return type;
}

}  // namespace quandrel::py
