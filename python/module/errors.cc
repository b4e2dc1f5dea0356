#include "errors.h"

#include "core/messages.h"
#include "lifetime.h"
#include "messages.h"

namespace quandrel::py {

PyObject* fault_class() {
  // Never released: the module and its types live as long as the interpreter.
  static PyObject* cls = nullptr;
  if (cls == nullptr) {
    cls = PyErr_NewExceptionWithDoc("quandrel._quandrel.Fault", msg::kFaultDoc,
                                    PyExc_BaseException, nullptr);
    forget_at_finalization(&cls);
  }
  return cls;
}

std::nullptr_t raise(PyObject* type, const char* text) {
  if (type == PyExc_SystemError && text == nullptr) text = msg::kNoExceptionSet;
  PyErr_SetString(type, text);
  return nullptr;
}

// PEP 678 notes: `add_note` from 3.11 on; on 3.10 the same `__notes__` list
// that 3.10's traceback module does not print but later tooling reads.
void add_note(PyObject* exc, const std::string& note) {
  Ref text(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  if (!text) return;
  if (PyObject_HasAttrString(exc, "add_note")) {
    Ref r(PyObject_CallMethod(exc, "add_note", "O", text.get()));
    return;
  }
  Ref notes(PyObject_GetAttrString(exc, "__notes__"));
  if (!notes) {
    PyErr_Clear();
    notes = Ref(PyList_New(0));
    if (!notes || PyObject_SetAttrString(exc, "__notes__", notes.get()) < 0) return;
  }
  PyList_Append(notes.get(), text.get());
}

namespace {

// The OSError subclass that Python picks for an error number
// (FileNotFoundError for ENOENT, ...), as a new reference; plain OSError for
// numbers without one. Learnt from OSError itself, so the mapping is always
// the running interpreter's.
Ref os_error_class(int code) {
  Ref probe(PyObject_CallFunction(PyExc_OSError, "is", code, ""));
  if (!probe) return Ref();
  return Ref(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(probe.get()))));
}

// One argument only, so that str(e) and e.args are the error's text: with
// two, OSError would print its own "[Errno N] ..." form instead.
Ref new_os_error(const IoError& error) {
  const std::string text = error.text();
  Ref message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!message) return Ref();
  if (error.kind() != IoError::Kind::kOs) {
    return Ref(PyObject_CallFunctionObjArgs(PyExc_OSError, message.get(), nullptr));
  }
  Ref cls = os_error_class(error.os_code());
  if (!cls) return Ref();
  Ref exc(PyObject_CallFunctionObjArgs(cls.get(), message.get(), nullptr));
  Ref code(PyLong_FromLong(error.os_code()));
  if (!exc || !code || PyObject_SetAttrString(exc.get(), "errno", code.get()) < 0) return Ref();
  return exc;
}

}  // namespace

std::nullptr_t raise_os_error(const IoError& error) {
  Ref exc = new_os_error(error);
  if (!exc) return nullptr;  // MemoryError or the like, already set
  if (!error.note().empty()) {
    add_note(exc.get(), error.note());
    PyErr_Clear();  // a note that cannot be added must not replace the error
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

std::nullptr_t raise_fault(const char* text) {
  PyObject* cls = fault_class();
  if (cls == nullptr) return nullptr;
  return raise(cls, text);
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const Fault& f) {
    raise_fault(f.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more than it can ever hold.
    raise_fault(quandrel::msg::kCapacityOverflow);
  } catch (const std::exception& e) {
    raise_fault(e.what());
  } catch (...) {
    raise_fault("unknown C++ exception");
  }
}

void write_unraisable(PyObject* type, const char* prefix, const char* text) noexcept {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_Format(type, "%s%s", prefix, text);
  // No context object: from a deallocator it would be the object being
  // freed, which the hook could keep a reference to.
  PyErr_WriteUnraisable(nullptr);
  PyErr_Restore(t, v, tb);
}

}  // namespace quandrel::py
