// The binding layer: one argument binder and one set of converters for every
// function, method and constructor of the module, and the builders of
// results. Converters return false with the Python exception set.
#pragma once

#include "py_ref.h"

#include <array>
#include <cstdint>
#include <memory_resource>
#include <span>
#include <string>
#include <vector>

#include "buffer.h"

namespace quandrel::py {

// A Python signature: every parameter positional-or-keyword, the first
// `required` of them without a default; parameters after the first
// `positional` are keyword-only.
struct Signature {
  static constexpr std::size_t kMax = 5;

  const char* name;  // as messages show it: "rowids_for_seq()", "Store.fetch()"
  std::array<const char*, kMax> params;
  std::size_t count;
  std::size_t required;
  std::size_t positional;

  constexpr Signature(const char* n, std::array<const char*, kMax> p, std::size_t req = kMax,
                      std::size_t pos = kMax)
      : name(n),
        params(p),
        count(count_params(p)),
        required(req == kMax ? count : req),
        positional(pos == kMax ? count : pos) {}

 private:
  static constexpr std::size_t count_params(const std::array<const char*, kMax>& p) {
    std::size_t n = 0;
    while (n < kMax && p[n] != nullptr) ++n;
    return n;
  }
};

// The arguments of one call, in either of CPython's two calling conventions.
class CallArgs {
 public:
  // METH_FASTCALL | METH_KEYWORDS.
  static CallArgs fast(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return CallArgs(args, nargs, kwnames, nullptr, nullptr);
  }
  // tp_new: a tuple and an optional dict.
  static CallArgs tuple(PyObject* args, PyObject* kwargs) {
    return CallArgs(nullptr, PyTuple_Size(args), nullptr, args, kwargs);
  }

  Py_ssize_t positional_count() const { return npos_; }
  PyObject* positional(Py_ssize_t i) const {
    return tuple_ ? PyTuple_GetItem(tuple_, i) : args_[i];
  }
  // Calls f(name, value) for every keyword argument until f returns false.
  template <class F>
  bool each_keyword(F&& f) const {
    if (kwnames_ != nullptr) {
      const Py_ssize_t n = PyTuple_Size(kwnames_);
      for (Py_ssize_t i = 0; i < n; ++i) {
        if (!f(PyTuple_GetItem(kwnames_, i), args_[npos_ + i])) return false;
      }
    }
    if (kwdict_ != nullptr) {
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwdict_, &pos, &key, &value)) {
        if (!f(key, value)) return false;
      }
    }
    return true;
  }

 private:
  CallArgs(PyObject* const* a, Py_ssize_t n, PyObject* kwn, PyObject* t, PyObject* kwd)
      : args_(a), npos_(n), kwnames_(kwn), tuple_(t), kwdict_(kwd) {}

  PyObject* const* args_;
  Py_ssize_t npos_;
  PyObject* kwnames_;
  PyObject* tuple_;
  PyObject* kwdict_;
};

// Borrowed argument per parameter; null where an optional one was not given.
using Bound = std::array<PyObject*, Signature::kMax>;

// Places the arguments into their parameters or raises the binding TypeError.
bool bind(const Signature& sig, const CallArgs& call, Bound& out);

// The name of an object's type, as `type(o).__name__` reads.
std::string type_name(PyObject* o);

// TypeError "'T' object cannot be converted to 'target'".
std::nullptr_t raise_cannot_convert(PyObject* o, const char* target);

// A file-system path as the caller passed it: str (as UTF-8), bytes (as
// they are) or an os.PathLike object.
struct FsPath {
  std::string value;
};

// Converters, one per argument kind. Sizes share the unsigned 64-bit one.
bool from_py(PyObject* o, std::string& out);    // text
bool from_py(PyObject* o, FsPath& out);         // path
bool from_py(PyObject* o, std::uint64_t& out);  // unsigned 64-bit, size
bool from_py(PyObject* o, std::uint32_t& out);  // unsigned 32-bit
bool from_py(PyObject* o, std::int32_t& out);   // signed 32-bit

// Sequence of K: refuses str and non-sequences, iterates once.
bool check_sequence(PyObject* o, std::size_t& length_hint);

// No element of an argument failed.
inline constexpr std::size_t kNoItem = static_cast<std::size_t>(-1);

// Converts one argument. For a sequence or buffer of values, `failed_item`
// receives the index of the element whose conversion failed.
template <class T>
bool convert_arg(PyObject* o, T& out, std::size_t& /*failed_item*/) {
  return from_py(o, out);
}

// The items of a list or tuple, read by index as their iterators read them
// (a list's length again at every step: an item's __index__ may change the
// list), without the iterator object that a small call would pay for.
template <class K, class Alloc>
bool convert_by_index(PyObject* o, std::vector<K, Alloc>& out, std::size_t& failed_item) {
  const bool list = PyList_CheckExact(o);
  for (Py_ssize_t i = 0; i < (list ? PyList_Size(o) : PyTuple_Size(o)); ++i) {
    Ref item = Ref::borrow(list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i));
    K value;
    if (!from_py(item.get(), value)) {
      failed_item = out.size();
      return false;
    }
    out.push_back(value);
  }
  return true;
}

// An integer buffer or tensor is read directly; anything else element by
// element.
template <class K, class Alloc>
bool convert_arg(PyObject* o, std::vector<K, Alloc>& out, std::size_t& failed_item) {
  switch (read_int_buffer(o, out, failed_item)) {
    case IntBuffer::kRead: return true;
    case IntBuffer::kFailed: return false;
    case IntBuffer::kNotOne: break;
  }
  std::size_t hint = 0;
  if (!check_sequence(o, hint)) return false;
  out.reserve(hint);
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return convert_by_index(o, out, failed_item);
  Ref it(PyObject_GetIter(o));
  if (!it) return false;
  while (PyObject* item = PyIter_Next(it.get())) {
    Ref hold(item);
    K value;
    if (!from_py(item, value)) {
      failed_item = out.size();
      return false;
    }
    out.push_back(value);
  }
  return !PyErr_Occurred();
}

// The ids or indices of one call, converted into the caller's frame: a
// small batch, the common case of serving, costs no allocation. Larger ones
// go to the heap as a std::vector would. Neither copied nor moved: `ids`
// allocates from the holder itself.
class CallIds final : std::pmr::memory_resource {
 public:
  static constexpr std::size_t kInline = 32;

  CallIds() = default;
  CallIds(const CallIds&) = delete;
  CallIds& operator=(const CallIds&) = delete;

 private:
  alignas(std::uint64_t) std::byte inline_[kInline * sizeof(std::uint64_t)];
  bool inline_used_ = false;

  void* do_allocate(std::size_t bytes, std::size_t align) override {
    if (!inline_used_ && bytes <= sizeof inline_ && align <= alignof(std::uint64_t)) {
      inline_used_ = true;
      return inline_;
    }
    return std::pmr::new_delete_resource()->allocate(bytes, align);
  }
  void do_deallocate(void* p, std::size_t bytes, std::size_t align) override {
    if (p == inline_) {
      inline_used_ = false;
    } else {
      std::pmr::new_delete_resource()->deallocate(p, bytes, align);
    }
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

 public:
  // Declared after the buffer, so that it is destroyed before it.
  std::pmr::vector<std::uint64_t> ids{this};
};

// Any object, borrowed, for arguments that the function examines itself.
struct Borrowed {
  PyObject* object = nullptr;
};
inline bool from_py(PyObject* o, Borrowed& out) {
  out.object = o;
  return true;
}

// Turns a TypeError of the conversion just failed into "argument 'P': ...".
void name_argument_in_error(const char* param);

// Adds the note "argument 'P', item N" to the TypeError or OverflowError of
// an element's conversion just failed; its text stays as it is.
void note_failed_item(const char* param, std::size_t item);

template <class T>
bool convert_slot(const Signature& sig, std::size_t i, PyObject* slot, T& out) {
  if (slot == nullptr) return true;  // optional and not given: keep the default
  std::size_t failed_item = kNoItem;
  if (convert_arg(slot, out, failed_item)) return true;
  name_argument_in_error(sig.params[i]);
  if (failed_item != kNoItem) note_failed_item(sig.params[i], failed_item);
  return false;
}

// Converts the bound arguments in signature order; the first failure stops.
template <class... Ts>
bool convert_all(const Signature& sig, const Bound& bound, Ts&... out) {
  std::size_t i = 0;
  auto one = [&](auto& o) {
    const std::size_t k = i++;
    return convert_slot(sig, k, bound[k], o);
  };
  return (one(out) && ...);
}

// Binds and converts. Outputs of optional parameters hold their defaults.
template <class... Ts>
bool parse(const Signature& sig, const CallArgs& call, Ts&... out) {
  Bound bound{};
  return bind(sig, call, bound) && convert_all(sig, bound, out...);
}

// A METH_FASTCALL | METH_KEYWORDS function as the PyMethodDef field wants it.
template <class F>
PyCFunction fastcall(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Results.
inline PyObject* to_py(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
// Row ids: every value fits a C long, whose conversion has the fastest path.
inline PyObject* to_py(std::uint32_t v) { return PyLong_FromLong(static_cast<long>(v)); }

// Text that the engine made (UTF-8; an OS error's text in the locale's
// encoding, so undecodable bytes are replaced).
inline PyObject* to_py(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// A new list of ints, created at its final length.
template <class T>
PyObject* list_of(std::span<const T> values) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = to_py(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

// A new zero-filled bytes object of `size` bytes, writable through `*data`
// until it is handed to Python. Faults for sizes of 2^63 or more.
Ref new_bytes(std::uint64_t size, char** data);

// The same, not filled: for a caller that writes every byte before the object
// reaches Python, or drops it. Filling a large result first costs as much as
// reading it.
Ref new_bytes_for_overwrite(std::uint64_t size, char** data);

}  // namespace quandrel::py
