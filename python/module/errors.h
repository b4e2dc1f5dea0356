// The one place where failures become Python exceptions. Every entry point
// runs its body through `guarded`, so no C++ exception reaches CPython.
#pragma once

#include "py_ref.h"


#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "core/error.h"

namespace quandrel::py {

// The module's fault exception class (derived directly from BaseException).
// Created once per process by `fault_class()`; null with an exception set on
// failure.
PyObject* fault_class();

// Each sets the Python exception and returns null, so that callers can write
// `return raise_os_error(r.error());`.
std::nullptr_t raise_os_error(const IoError& error);
std::nullptr_t raise_fault(const char* text);
std::nullptr_t raise(PyObject* type, const char* text);

// Adds a PEP 678 note to the exception `exc` (on 3.10, to its `__notes__`).
// May leave an exception set when the note cannot be added.
void add_note(PyObject* exc, const std::string& note);

// Sets the exception for the C++ exception being handled. Call only inside a
// catch block.
void raise_current_exception() noexcept;

// Reports `type(prefix + text)` through the unraisable-exception hook,
// leaving any pending exception as it was. Allocates nothing in C++, so it
// is safe in a deallocator.
void write_unraisable(PyObject* type, const char* prefix, const char* text) noexcept;

// Runs `body` (returning a new reference or null with an exception set) and
// maps every C++ exception that escapes it. The one thing let through is the
// unwinding of a thread that the interpreter ends at shutdown (see
// WithoutGil): it must reach the thread's start to finish the thread.
template <class F>
PyObject* guarded(F&& body) {
  try {
    PyObject* result = body();
    if (result == nullptr && !PyErr_Occurred()) raise(PyExc_SystemError, nullptr);
    return result;
  } catch (...) {
    if (WithoutGil::thread_ending()) throw;
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace quandrel::py
