// View: one flat file of fixed-size records. Bound to the thread that
// created it, which alone may use it or close its file.
#include <cxxabi.h>

#include <memory>

#include "class_types.h"
#include "classes.h"
#include "io/reader_mode.h"
#include "io/view.h"

namespace quandrel::py {
namespace {

struct ViewState {
  static constexpr const char* kName = "View";
  static constexpr const char* kTypeName = "builtins.View";
  static constexpr const char* kBoundPath = "_quandrel::View";

  io::ViewReader reader;
};

using ViewClass = Class<ViewState>;

constexpr Signature kNew{"View.__new__()", {"path"}};
constexpr Signature kReadRecord{"View.read_record()", {"index"}};
constexpr Signature kReadRecords{"View.read_records()", {"indices"}};

PyObject* view_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string path;
    if (!parse(kNew, CallArgs::tuple(args, kwargs), path)) return nullptr;
    const std::optional<io::ReaderMode> mode = io::reader_mode_from_env();
    if (!mode) return raise(PyExc_ValueError, io::kReaderModeError);
    Result<io::ViewReader> reader = io::ViewReader::open(path, *mode);
    if (!reader) return raise_os_error(reader.error());
    return ViewClass::wrap(type, std::make_unique<ViewState>(ViewState{std::move(*reader)}));
  });
}

// Reads at least this large run without the interpreter lock, so that other
// Python threads run meanwhile; for smaller ones from memory, giving the
// lock away and taking it back would cost more than the read. Reads that go
// to the system may wait for a disk, so they always let go.
constexpr std::uint64_t kUnlockedBytes = 64 << 10;

bool worth_unlocking(const io::ViewReader& reader, std::uint64_t bytes) {
  return bytes >= kUnlockedBytes || reader.mapping().fd() < 0;
}

// `read()`, without the interpreter lock when `unlock`. The result is a
// plain value: no Python object is touched inside.
template <class Read>
auto run_read(bool unlock, Ref& out, Read read) -> decltype(read()) {
  if (!unlock) return read();
  try {
    WithoutGil unlocked;
    return read();
  } catch (abi::__forced_unwind&) {
    // The interpreter is ending this thread without giving the lock back:
    // the result may not be released here.
    (void)out.release();
    throw;
  }
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
    char* data = nullptr;
    Ref out = new_bytes(s->reader.slot_bytes(), &data);
    if (!out) return nullptr;
    Result<std::uint64_t> n =
        run_read(worth_unlocking(s->reader, s->reader.slot_bytes()), out, [&] {
          return io::read_record(s->reader, index,
                                 {reinterpret_cast<std::byte*>(data), s->reader.slot_bytes()});
        });
    if (!n) return raise_os_error(n.error());
    return out.release();
  });
}

PyObject* read_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<std::uint64_t> indices;
    const ViewState* s =
        ViewClass::parse_method(kReadRecords, self, CallArgs::fast(args, nargs, kwnames), indices);
    if (s == nullptr) return nullptr;
    std::uint64_t size = 0;
    if (__builtin_mul_overflow(s->reader.slot_bytes(), indices.size(), &size)) {
      fault(quandrel::msg::kCapacityOverflow);
    }
    char* data = nullptr;
    Ref out = new_bytes(size, &data);
    if (!out) return nullptr;
    Result<void> read = run_read(worth_unlocking(s->reader, size), out, [&] {
      return io::read_records(s->reader, indices, {reinterpret_cast<std::byte*>(data), size});
    });
    if (!read) return raise_os_error(read.error());
    return out.release();
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
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* view_class() { return ViewClass::ready(methods, nullptr, view_new, "View(path)\n--\n\n"); }

}  // namespace quandrel::py
