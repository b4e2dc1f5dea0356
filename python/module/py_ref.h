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
    if (state_ == nullptr) return;
    ending_ = true;
    PyEval_RestoreThread(state_);
    ending_ = false;
  }

  // Whether this thread is being ended while it takes the lock back: true
  // only while that unwinding runs, and then the lock is not held. Asked
  // instead of catching abi::__forced_unwind by name, which has no object
  // to bind a reference to.
  static bool thread_ending() { return ending_; }

  // Runs `f` with the lock held again, then releases it once more. If taking
  // the lock ends the thread (see above), the destructor leaves it alone.
  template <class F>
  decltype(auto) relocked(F&& f) {
    ending_ = true;
    PyEval_RestoreThread(std::exchange(state_, nullptr));
    ending_ = false;
    struct Release {
      PyThreadState*& state;
      ~Release() { state = PyEval_SaveThread(); }
    } release{state_};
    return f();
  }

 private:
  PyThreadState* state_;
  // Initial-exec: every unlocked call touches it, and the default model of a
  // shared library reaches it through a call into the dynamic loader.
  __attribute__((tls_model("initial-exec"))) static inline thread_local bool ending_ = false;
};

// Runs `body` without the interpreter lock and returns what it returns (a
// plain value: no Python object may be touched inside). If taking the lock
// back ends the thread, `abandon` runs on the way out: it must let go of the
// caller's Python objects without releasing them, for the lock is not held.
// `body` is given a check to call when a signal interrupts one of its reads:
// it runs the signal handlers with the lock held again, as Python's own
// reads do, and returns false when one raised (its exception is then set).
template <class Abandon, class Body>
decltype(auto) run_unlocked_interruptible(Abandon&& abandon, Body&& body) {
  struct OnThreadEnd {
    Abandon& abandon;
    ~OnThreadEnd() {
      if (WithoutGil::thread_ending()) abandon();
    }
  } on_end{abandon};
  WithoutGil unlocked;
  return body([&unlocked] { return unlocked.relocked([] { return PyErr_CheckSignals() == 0; }); });
}

// The same for a body that nothing interrupts.
template <class Abandon, class Body>
decltype(auto) run_unlocked(Abandon&& abandon, Body&& body) {
  return run_unlocked_interruptible(abandon, [&body](const auto&) -> decltype(auto) { return body(); });
}

}  // namespace quandrel::py
