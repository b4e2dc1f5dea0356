// What the three classes share: how their types are made, how an instance
// holds its C++ state, the receiver test of every method, and the binding of
// an instance to the thread that created it.
//
// A state type S provides:
//   static constexpr const char* kName;      // "Store"
//   static constexpr const char* kTypeName;  // "builtins.Store": the type
//                                           // declares no module of its own
//   static constexpr const char* kBoundPath; // "_quandrel::View", or nullptr
//                                           // when instances are not bound
#pragma once

#include "py_ref.h"

#include <memory>
#include <string>

#include "convert.h"
#include "core/error.h"
#include "core/messages.h"
#include "errors.h"
#include "lifetime.h"
#include "messages.h"

namespace quandrel::py {

struct ClassSpec {
  const char* name;  // "builtins.Name": __module__ reads "builtins", __qualname__ "Name"
  const char* doc;   // "Name(signature)\n--\n\n" followed by the docstring
  int basicsize;
  newfunc construct;
  destructor dealloc;
  PyMethodDef* methods;  // static storage: the type keeps pointing at it
  PyGetSetDef* getset;   // static storage, or null
  reprfunc repr = nullptr;  // null: object's
};

// A number for the calling thread that no other thread of the process ever
// gets: the system's thread ids are reused once a thread has ended.
std::uint64_t thread_token();

// Moves the member `name` of a new type to the end of its namespace, where
// members added after the original ones belong (methods otherwise precede
// properties). False with an exception set on failure.
bool move_member_to_end(PyObject* type, const char* name);

// A type that cannot be subclassed, has no __dict__ and no weak references,
// is not tracked by the cycle collector and is built only through __new__.
PyObject* make_class(const ClassSpec& def);

template <class S>
class Class {
 public:
  struct Object {
    PyObject_HEAD
    S* state;             // owned
    std::uint64_t owner;  // thread_token() of the creating thread
  };

  // Creates the type once per interpreter and returns it (borrowed).
  static PyObject* ready(PyMethodDef* methods, PyGetSetDef* getset, newfunc construct,
                         const char* doc, reprfunc repr = nullptr) {
    if (type_ == nullptr) {
      type_ = make_class({S::kTypeName, doc, static_cast<int>(sizeof(Object)), construct, &dealloc,
                          methods, getset, repr});
      forget_at_finalization(&type_);
    }
    return type_;
  }

  // A new instance owning `state`; on failure `state` is destroyed here.
  static PyObject* wrap(PyTypeObject* type, std::unique_ptr<S> state) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<Object*>(self);
    obj->state = state.release();
    obj->owner = thread_token();
    return self;
  }

  // The receiver test of every method: an instance of the class, used on its
  // own thread when the class is bound. Returns null with TypeError set, or
  // faults on a foreign thread.
  static const S* receive(PyObject* self) {
    const S* state = peek(self);
    if constexpr (S::kBoundPath != nullptr) {
      if (state != nullptr && reinterpret_cast<Object*>(self)->owner != thread_token()) {
        fault(std::string(S::kBoundPath) + msg::kUnsendableSent);
      }
    }
    return state;
  }

  // The state of an instance of the class on any thread, for what reads
  // only fields fixed at construction (a repr must work wherever an object
  // is shown); null with TypeError set for another type.
  static const S* peek(PyObject* self) {
    if (type_ == nullptr || !PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type_))) {
      return raise_cannot_convert(self, S::kName);
    }
    return reinterpret_cast<Object*>(self)->state;
  }

  // A read-only property: `value` of the state, behind the receiver test.
  template <PyObject* (*value)(const S&)>
  static PyObject* property(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
      const S* state = receive(self);
      return state ? value(*state) : nullptr;
    });
  }

  // Binds the arguments, tests the receiver, then converts, in that order.
  template <class... Ts>
  static const S* parse_method(const Signature& sig, PyObject* self, const CallArgs& call,
                               Ts&... out) {
    Bound bound{};
    if (!bind(sig, call, bound)) return nullptr;
    const S* state = receive(self);
    if (state == nullptr || !convert_all(sig, bound, out...)) return nullptr;
    return state;
  }

 private:
  static void dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<Object*>(self);
    PyTypeObject* type = Py_TYPE(self);
    if (S::kBoundPath != nullptr && obj->owner != thread_token()) {
      write_unraisable(PyExc_RuntimeError, S::kBoundPath, msg::kUnsendableDropped);
    }
    // Freed even on a foreign thread: what a state holds (memory, a
    // descriptor) may be released on any thread, and leaving it would leak
    // the descriptor.
    delete obj->state;
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);
  }

  static inline PyObject* type_ = nullptr;
};

}  // namespace quandrel::py
