// ReadHandle. Usable from any thread. The handle owns what its read borrows
// of Python (see ReadBorrows) and lets go of it, with the interpreter lock
// held, only once the read has ended: at the first look that sees the end,
// or when the handle is dropped, which waits for that end without the lock.
#include "read_handle.h"

#include <chrono>
#include <cmath>
#include <optional>

#include "class_base.h"
#include "convert.h"
#include "errors.h"
#include "lifetime.h"

namespace quandrel::py {
namespace {

struct HandleParts {
  std::shared_ptr<io::AsyncRead> read;
  ReadBorrows borrows;
  bool settled = false;  // the exports and the owner are let go
};

struct HandleObject {
  PyObject_HEAD
  HandleParts* parts;  // owned
};

PyObject* g_type = nullptr;

constexpr Signature kWait{"ReadHandle.wait()", {"timeout"}, 0};
constexpr Signature kResult{"ReadHandle.result()", {"timeout"}, 0};

HandleParts* parts_of(PyObject* self) {
  if (g_type == nullptr || !PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(g_type))) {
    return raise_cannot_convert(self, "ReadHandle");
  }
  return reinterpret_cast<HandleObject*>(self)->parts;
}

// Lets go of what the read borrowed once it has ended. Lock held.
void settle(HandleParts& p) {
  if (p.settled || !p.read->done()) return;
  p.borrows.out_export.reset();
  p.borrows.ids_export.reset();
  p.borrows.owner = Ref();
  p.settled = true;
}

// Waits without the interpreter lock. If taking the lock back ends this
// thread (interpreter shutdown), nothing of Python is let go on the way out.
bool wait_unlocked(HandleParts& p, std::optional<std::chrono::nanoseconds> timeout) {
  if (timeout && timeout->count() <= 0) return p.read->wait(timeout);
  if (p.read->done()) return true;
  return run_unlocked([] {}, [&] { return p.read->wait(timeout); });
}

// None: no limit. Seconds beyond what a wait can count are no limit either.
bool parse_timeout(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::optional<std::chrono::nanoseconds>& timeout) {
  Bound bound{};
  if (!py::bind(sig, CallArgs::fast(args, nargs, kwnames), bound)) return false;
  if (bound[0] == nullptr || bound[0] == Py_None) return true;
  const double seconds = PyFloat_AsDouble(bound[0]);
  if (seconds == -1.0 && PyErr_Occurred()) {
    name_argument_in_error("timeout");
    return false;
  }
  if (std::isnan(seconds)) {
    raise(PyExc_ValueError, "argument 'timeout': must not be NaN");
    return false;
  }
  if (seconds < 1e9) timeout = std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9));
  return true;
}

PyObject* raise_cancelled() {
  Ref futures(PyImport_ImportModule("concurrent.futures"));
  if (!futures) return nullptr;
  Ref cls(PyObject_GetAttrString(futures.get(), "CancelledError"));
  if (!cls) return nullptr;
  PyErr_SetNone(cls.get());
  return nullptr;
}

// What result() gives for an ended read.
PyObject* outcome_of(HandleParts& p) {
  switch (p.read->outcome()) {
    case io::AsyncRead::Outcome::kOk: return Py_NewRef(p.borrows.out.get());
    case io::AsyncRead::Outcome::kFailed: return raise_os_error(p.read->error());
    case io::AsyncRead::Outcome::kFaulted: std::rethrow_exception(p.read->fault());
    case io::AsyncRead::Outcome::kCancelled: return raise_cancelled();
    case io::AsyncRead::Outcome::kPending: break;
  }
  return raise(PyExc_SystemError, "read handle: result of a read that has not ended");
}

PyObject* done(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    HandleParts* p = parts_of(self);
    if (p == nullptr) return nullptr;
    settle(*p);
    return PyBool_FromLong(p->read->done());
  });
}

PyObject* wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::optional<std::chrono::nanoseconds> timeout;
    if (!parse_timeout(kWait, args, nargs, kwnames, timeout)) return nullptr;
    HandleParts* p = parts_of(self);
    if (p == nullptr) return nullptr;
    const bool ended = wait_unlocked(*p, timeout);
    settle(*p);
    return PyBool_FromLong(ended);
  });
}

PyObject* result(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::optional<std::chrono::nanoseconds> timeout;
    if (!parse_timeout(kResult, args, nargs, kwnames, timeout)) return nullptr;
    HandleParts* p = parts_of(self);
    if (p == nullptr) return nullptr;
    if (!wait_unlocked(*p, timeout)) {
      PyErr_SetNone(PyExc_TimeoutError);
      return nullptr;
    }
    settle(*p);
    return outcome_of(*p);
  });
}

PyObject* cancel(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    HandleParts* p = parts_of(self);
    if (p == nullptr) return nullptr;
    const bool cancelled = p->read->cancel();
    settle(*p);
    return PyBool_FromLong(cancelled);
  });
}

PyObject* enter(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return parts_of(self) ? Py_NewRef(self) : nullptr; });
}

PyObject* exit(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    HandleParts* p = parts_of(self);
    if (p == nullptr) return nullptr;
    (void)wait_unlocked(*p, std::nullopt);
    settle(*p);
    return Py_NewRef(Py_False);
  });
}

// For the package's asyncio support: has the read post `token` (a positive
// int the caller made unique) to the completion descriptor when it ends.
// False when it has already ended.
PyObject* notify(PyObject* self, PyObject* token_arg) {
  return guarded([&]() -> PyObject* {
    HandleParts* p = parts_of(self);
    if (p == nullptr) return nullptr;
    std::uint64_t token = 0;
    if (!from_py(token_arg, token)) return nullptr;
    if (token == 0) return raise(PyExc_ValueError, "_notify: the token must be positive");
    return PyBool_FromLong(p->read->notify_on_end(token));
  });
}

// `await handle`: the package's coroutine, which waits on the event loop.
PyObject* await(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Ref module(PyImport_ImportModule("quandrel._async"));
    if (!module) return nullptr;
    Ref coroutine(PyObject_CallMethod(module.get(), "wait", "O", self));
    if (!coroutine) return nullptr;
    return PyObject_CallMethod(coroutine.get(), "__await__", nullptr);
  });
}

PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
  return raise(PyExc_TypeError, "cannot create 'quandrel.ReadHandle' instances");
}

void dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<HandleObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  HandleParts* p = obj->parts;
  if (p != nullptr && !p->read->done()) {
    // The read still writes into the buffers this handle holds: they are let
    // go only after it ends. A thread ended meanwhile (interpreter shutdown)
    // unwinds from here and keeps them for ever.
    run_unlocked([] {}, [&] { return p->read->wait(std::nullopt); });
  }
  delete p;
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"done", done, METH_NOARGS, "done($self)\n--\n\nTrue once the read has ended."},
    {"wait", fastcall(wait), METH_FASTCALL | METH_KEYWORDS,
     "wait($self, timeout=None)\n--\n\n"
     "Blocks, without the interpreter lock, until the read ends or `timeout` seconds pass.\n"
     "True when it has ended; a timeout of 0 or less only looks."},
    {"result", fastcall(result), METH_FASTCALL | METH_KEYWORDS,
     "result($self, timeout=None)\n--\n\n"
     "`out` once the read has ended well; raises what the read raised, TimeoutError when\n"
     "it has not ended within `timeout`, concurrent.futures.CancelledError when cancelled."},
    {"cancel", cancel, METH_NOARGS,
     "cancel($self)\n--\n\n"
     "Rows not yet being read are not read. True when the read ends cancelled."},
    {"__enter__", enter, METH_NOARGS, nullptr},
    {"__exit__", exit, METH_VARARGS, nullptr},
    {"_notify", notify, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* completion_fd(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* { return PyLong_FromLong(io::completions().fd()); });
}

PyObject* drain_completions(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    const std::vector<std::uint64_t> tokens = io::completions().drain();
    return list_of(std::span<const std::uint64_t>(tokens));
  });
}

}  // namespace

PyObject* read_handle_class() {
  if (g_type != nullptr) return g_type;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("A read started by fetch_into_async or read_records_into_async.")},
      {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
      {Py_tp_methods, methods},
      {Py_am_await, reinterpret_cast<void*>(await)},
      {0, nullptr},
  };
  PyType_Spec type_spec = {"quandrel.ReadHandle", static_cast<int>(sizeof(HandleObject)), 0,
                      Py_TPFLAGS_DEFAULT, slots};
  g_type = PyType_FromSpec(&type_spec);
  forget_at_finalization(&g_type);
  return g_type;
}

std::unique_ptr<BufferHold> hold_ids(PyObject* ids) {
  if (!BufferHold::exports(ids)) return nullptr;
  auto hold = std::make_unique<BufferHold>();
  if (hold->acquire(ids, false)) return hold;
  PyErr_Clear();  // the ids were read already; this only pins them
  return nullptr;
}

PyObject* start_read(std::shared_ptr<io::AsyncRead> read, ReadBorrows borrows) {
  PyObject* type = read_handle_class();
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
  Ref self(alloc(reinterpret_cast<PyTypeObject*>(type), 0));
  if (!self) return nullptr;
  auto* parts = new HandleParts{read, std::move(borrows)};
  reinterpret_cast<HandleObject*>(self.get())->parts = parts;
  if (read->done()) {
    settle(*parts);
  } else {
    io::start_async(std::move(read));
  }
  return self.release();
}

PyMethodDef* async_functions() {
  static PyMethodDef defs[] = {
      {"_completion_fd", completion_fd, METH_NOARGS,
       "_completion_fd()\n--\n\nThe descriptor that reads awaited in an event loop announce their end on."},
      {"_drain_completions", drain_completions, METH_NOARGS,
       "_drain_completions()\n--\n\nThe tokens of the reads that ended since the last call."},
      {nullptr, nullptr, 0, nullptr},
  };
  return defs;
}

}  // namespace quandrel::py
