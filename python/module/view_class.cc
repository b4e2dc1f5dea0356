// View: one flat file of fixed-size records. Bound to the thread that
// created it, which alone may use it or close its file.

#include <memory>

#include "buffer.h"
#include "module_types.h"
#include "class_base.h"
#include "describe.h"
#include "io/read/reader_mode.h"
#include "io/async/async_read.h"
#include "io/view/view.h"
#include "read_handle.h"

namespace quandrel::py {
namespace {

struct ViewState {
  static constexpr const char* kName = "View";
  static constexpr const char* kTypeName = "builtins.View";
  static constexpr const char* kBoundPath = "_quandrel::View";

  io::ViewReader reader;
  std::string path;  // as opened
};

using ViewClass = Class<ViewState>;

constexpr Signature kNew{"View.__new__()", {"path"}};
constexpr Signature kReadRecord{"View.read_record()", {"index"}};
constexpr Signature kReadRecords{"View.read_records()", {"indices"}};
constexpr Signature kReadRecordsInto{"View.read_records_into()", {"indices", "out"}};
constexpr Signature kReadRecordsIntoAsync{"View.read_records_into_async()", {"indices", "out"}};

// Records per chunk of an async read, the unit that a cancel does not cut.
constexpr std::size_t kAsyncChunkRecords = 4096;

PyObject* view_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    FsPath path;
    if (!parse(kNew, CallArgs::tuple(args, kwargs), path)) return nullptr;
    const std::optional<io::ReaderMode> mode = io::reader_mode_from_env();
    if (!mode) return raise(PyExc_ValueError, io::kReaderModeError);
    Result<io::ViewReader> reader = io::ViewReader::open(path.value, *mode);
    if (!reader) return raise_os_error(reader.error());
    return ViewClass::wrap(type, std::make_unique<ViewState>(ViewState{std::move(*reader), path.value}));
  });
}

// Reads at least this large run without the interpreter lock, so that other
// Python threads run meanwhile; for smaller ones from memory, giving the
// lock away and taking it back would cost more than the read. Reads that go
// to the system may wait for a disk, so they always let go.
constexpr std::uint64_t kUnlockedBytes = 64 << 10;

bool worth_unlocking(const io::ViewReader& reader, std::uint64_t bytes) {
  return bytes >= kUnlockedBytes || !reader.mapped();
}

// `read()`, without the interpreter lock when `unlock`. The result is a
// plain value: no Python object is touched inside. `abandon` runs when the
// interpreter ends this thread without giving the lock back: what the caller
// holds of Python may then not be released.
template <class Abandon, class Read>
auto run_read(bool unlock, Abandon abandon, Read read) -> decltype(read()) {
  if (!unlock) return read();
  return run_unlocked(abandon, read);
}

PyObject* len(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const ViewState* s = ViewClass::receive(self);
    return s ? to_py(s->reader.count()) : nullptr;
  });
}

PyObject* slot_bytes(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const ViewState* s = ViewClass::receive(self);
    return s ? to_py(s->reader.slot_bytes()) : nullptr;
  });
}

PyObject* close(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return ViewClass::receive(self) ? Py_NewRef(Py_None) : nullptr; });
}

PyObject* read_record(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::uint64_t index = 0;
    const ViewState* s =
        ViewClass::parse_method(kReadRecord, self, CallArgs::fast(args, nargs, kwnames), index);
    if (s == nullptr) return nullptr;
    // The file decides slot_bytes: the index is checked before anything of
    // that size is allocated.
    Result<std::uint64_t> size = s->reader.batch_bytes({&index, 1});
    if (!size) return raise_os_error(size.error());
    char* data = nullptr;
    Ref out = new_bytes_for_overwrite(*size, &data);
    if (!out) return nullptr;
    Result<std::uint64_t> n =
        run_read(worth_unlocking(s->reader, *size), [&] { (void)out.release(); }, [&] {
          return s->reader.read_record(index, {reinterpret_cast<std::byte*>(data), *size});
        });
    if (!n) return raise_os_error(n.error());
    return out.release();
  });
}

PyObject* read_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    CallIds call_ids;
    const std::pmr::vector<std::uint64_t>& indices = call_ids.ids;
    const ViewState* s =
        ViewClass::parse_method(kReadRecords, self, CallArgs::fast(args, nargs, kwnames), call_ids.ids);
    if (s == nullptr) return nullptr;
    Result<std::uint64_t> size = s->reader.batch_bytes(indices);
    if (!size) return raise_os_error(size.error());
    char* data = nullptr;
    Ref out = new_bytes_for_overwrite(*size, &data);
    if (!out) return nullptr;
    Result<void> read = run_read(worth_unlocking(s->reader, *size), [&] { (void)out.release(); }, [&] {
      return s->reader.read_records(indices, {reinterpret_cast<std::byte*>(data), *size});
    });
    if (!read) return raise_os_error(read.error());
    return out.release();
  });
}

PyObject* count_of(const ViewState& s) { return to_py(s.reader.count()); }
PyObject* path_of(const ViewState& s) { return path_to_py(s.path); }

// Works on any thread, as the repr does: the counters are atomics, and an
// exporter reads them from a thread of its own.
PyObject* stats(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const ViewState* s = ViewClass::peek(self);
    return s ? stats_dict(s->reader.stats().totals()) : nullptr;
  });
}

// Works on any thread: it reads only what the view fixed when it opened.
PyObject* repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const ViewState* s = ViewClass::peek(self);
    if (s == nullptr) return nullptr;
    return describe("View", s->path, with_commas(s->reader.count()) + " x " +
                                         with_commas(s->reader.slot_bytes()) + " B");
  });
}

// The arguments of read_records_into and its async form, converted and
// checked: what either raises before reading, it raises here.
struct IntoCall {
  const ViewState* s = nullptr;
  std::vector<std::uint64_t> indices;
  PyObject* indices_arg = nullptr;
  PyObject* out_arg = nullptr;
  std::unique_ptr<BufferHold> out = std::make_unique<BufferHold>();
};

bool parse_into(const Signature& sig, PyObject* self, const CallArgs& call, IntoCall& c) {
  Borrowed indices, out;
  c.s = ViewClass::parse_method(sig, self, call, indices, out);
  if (c.s == nullptr || !convert_slot(sig, 0, indices.object, c.indices)) return false;
  c.indices_arg = indices.object;
  c.out_arg = out.object;
  if (!acquire_output(out.object, "out", *c.out)) return false;
  const unsigned __int128 expected =
      static_cast<unsigned __int128>(c.s->reader.slot_bytes()) * c.indices.size();
  if (!check_output_size(*c.out, "out", expected, c.out->size(), "bytes")) return false;
  if (const Result<std::uint64_t> size = c.s->reader.batch_bytes(c.indices); !size) {
    raise_os_error(size.error());
    return false;
  }
  return true;
}

// As read_records, with the records written into the caller's buffer `out`.
PyObject* read_records_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IntoCall c;
    if (!parse_into(kReadRecordsInto, self, CallArgs::fast(args, nargs, kwnames), c)) return nullptr;
    BufferHold& out = *c.out;
    Result<void> read = run_read(worth_unlocking(c.s->reader, out.size()), [&] { out.abandon(); }, [&] {
      return c.s->reader.read_records(c.indices, {out.data(), out.size()});
    });
    if (!read) return raise_os_error(read.error());
    return Py_NewRef(Py_None);
  });
}

// As read_records_into, returning a ReadHandle at once. The handle keeps the
// view, `out` and a buffer `indices` until the read ends.
PyObject* read_records_into_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IntoCall c;
    if (!parse_into(kReadRecordsIntoAsync, self, CallArgs::fast(args, nargs, kwnames), c)) return nullptr;
    const std::span<std::byte> out{c.out->data(), c.out->size()};
    ReadBorrows borrows{Ref::borrow(self), Ref::borrow(c.out_arg), std::move(c.out), nullptr};
    return start_item_read(std::move(c.indices), c.indices_arg, out, c.s->reader.slot_bytes(), kAsyncChunkRecords,
                           [view = &c.s->reader](auto ids, auto slots) { return view->read_records(ids, slots); },
                           std::move(borrows));
  });
}

PyMethodDef methods[] = {
    {"len", len, METH_NOARGS, "len($self)\n--\n\n"},
    {"slot_bytes", slot_bytes, METH_NOARGS, "slot_bytes($self)\n--\n\n"},
    {"close", close, METH_NOARGS, kCloseDocWithSignature},
    {"read_record", fastcall(read_record), METH_FASTCALL | METH_KEYWORDS,
     "read_record($self, index)\n--\n\n"},
    {"read_records", fastcall(read_records), METH_FASTCALL | METH_KEYWORDS,
     "read_records($self, indices)\n--\n\n"},
    {"read_records_into", fastcall(read_records_into), METH_FASTCALL | METH_KEYWORDS,
     "read_records_into($self, indices, out)\n--\n\n"
     "Writes the records of `indices`, in order, into `out`: a writable C-contiguous buffer\n"
     "of exactly len(indices) * slot_bytes() bytes. Returns None."},
    {"stats", stats, METH_NOARGS,
     "stats($self)\n--\n\n"
     "Counters of the reads since the view was opened, as a new dict (see the README)."},
    {"read_records_into_async", fastcall(read_records_into_async), METH_FASTCALL | METH_KEYWORDS,
     "read_records_into_async($self, indices, out)\n--\n\n"
     "As read_records_into, started and returned at once: a ReadHandle whose result() is `out`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"count", ViewClass::property<count_of>, nullptr, nullptr, nullptr},
    {"path", ViewClass::property<path_of>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* view_class() {
  PyObject* type = ViewClass::ready(methods, getset, view_new, "View(path)\n--\n\n", repr);
  // After every member of the original class and read_records_into.
  if (type == nullptr || !move_member_to_end(type, "stats")) return nullptr;
  return type;
}

}  // namespace quandrel::py
