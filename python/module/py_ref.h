// Small RAII holders for the C API: an owned reference, and the interpreter
// lock released for a scope.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// One build serves CPython 3.10 and every later version.
#if !defined(Py_LIMITED_API) || Py_LIMITED_API + 0 != 0x030A0000
#error "the module must be compiled for the 3.10 stable ABI (Py_LIMITED_API=0x030A0000)"
#endif

#include <utility>

namespace quandrel::py {

// Owns one strong reference (or none).
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Releases the interpreter lock for its scope. The destructor takes it back
// on every path, a C++ exception included, before anything touches Python.
//
// When the interpreter is shutting down, taking the lock back ends a daemon
// thread with pthread_exit, which unwinds the thread's stack as an exception
// (abi::__forced_unwind). So the destructor may throw, and callers let that
// exception pass without touching Python: the lock is not held then.
class WithoutGil {
 public:
  WithoutGil() : state_(PyEval_SaveThread()) {}
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;
  ~WithoutGil() noexcept(false) {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }

  // Runs `f` with the lock held again, then releases it once more. If taking
  // the lock ends the thread (see above), the destructor leaves it alone.
  template <class F>
  decltype(auto) relocked(F&& f) {
    PyEval_RestoreThread(std::exchange(state_, nullptr));
    struct Release {
      PyThreadState*& state;
      ~Release() { state = PyEval_SaveThread(); }
    } release{state_};
    return f();
  }

 private:
  PyThreadState* state_;
};

}  // namespace quandrel::py
