#include "buffer.h"

#include <dlfcn.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include "convert.h"
#include "errors.h"

namespace quandrel::py {
namespace {

// The module is built once for the 3.10 stable ABI, whose headers lack the
// buffer protocol (it joined the limited API in 3.11). Every CPython from 3.0
// on exports PyObject_GetBuffer, PyBuffer_Release and (since 3.9, as a
// function) PyObject_CheckBuffer with the Py_buffer layout of RawBuffer, so
// they are looked up in the running interpreter on first use. A reference
// compiled into the module would not build under the 3.10 limited API, and
// an import-time dependency would show up in the stable-ABI audit; the
// alternatives (memoryview and its attributes, or ctypes.pythonapi) cost a
// Python call per argument and still give no address to write to.
struct BufferApi {
  int (*get)(PyObject*, RawBuffer*, int) = nullptr;
  void (*release)(RawBuffer*) = nullptr;
  int (*check)(PyObject*) = nullptr;

  bool ok() const { return get != nullptr && release != nullptr && check != nullptr; }
};

void* find_symbol(const char* name) {
  if (void* p = ::dlsym(RTLD_DEFAULT, name)) return p;
  // An embedding program may have loaded the interpreter's library without
  // making its symbols global: look in the object that defines the functions
  // this module is linked against.
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&PyLong_FromLong), &info) == 0 || info.dli_fname == nullptr) {
    return nullptr;
  }
  void* lib = ::dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  return lib != nullptr ? ::dlsym(lib, name) : nullptr;  // never closed: it is the interpreter
}

const BufferApi& buffer_api() {
  static const BufferApi api = [] {
    BufferApi a;
    a.get = reinterpret_cast<decltype(a.get)>(find_symbol("PyObject_GetBuffer"));
    a.release = reinterpret_cast<decltype(a.release)>(find_symbol("PyBuffer_Release"));
    a.check = reinterpret_cast<decltype(a.check)>(find_symbol("PyObject_CheckBuffer"));
    return a;
  }();
  return api;
}

// Flags of the buffer protocol (stable since 3.0).
constexpr int kWritable = 0x0001;
constexpr int kFormat = 0x0004;
constexpr int kStrides = 0x0010 | 0x0008;

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// Decimal text of a size that may exceed 64 bits.
std::string decimal(unsigned __int128 v) {
  std::string s;
  do {
    s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  } while (v != 0);
  return s;
}

template <class K, class S>
bool fits(S v) {
  return std::in_range<K>(v);
}

// Unaligned loads: an exporter's memory need not be aligned to its items.
template <class S>
S load(const std::byte* p, std::size_t i) {
  S v;
  std::memcpy(&v, p + i * sizeof(S), sizeof(S));
  return v;
}

// Whether every item of `values` (each the copy of an S) fits K, for K at
// least as wide as S: a value fails exactly when its top bit is set, and an
// OR over all of them vectorises on any x86-64 (a minimum of 64-bit values
// does not).
template <class K, class S, class T>
bool all_fit(const T* values, std::size_t n) {
  static_assert(sizeof(K) >= sizeof(S));
  if constexpr (std::is_signed_v<S> != std::is_signed_v<K> &&
                (std::is_signed_v<S> || sizeof(S) == sizeof(K))) {
    using U = std::make_unsigned_t<S>;
    U bits = 0;
    for (std::size_t i = 0; i < n; ++i) bits |= static_cast<U>(static_cast<S>(values[i]));
    return (bits >> (8 * sizeof(S) - 1)) == 0;
  } else {
    return true;
  }
}

// Copies the items into `out`, widening or narrowing them; true when every
// one fits K.
template <class K, class S>
bool copy_items(const std::byte* data, std::size_t n, std::vector<K>& out) {
  if constexpr (sizeof(S) == sizeof(K)) {
    // Same width: one bulk copy, without zero-filling the vector first.
    // Signed and unsigned variants of a type may alias.
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(K) == 0) {
      const K* first = reinterpret_cast<const K*>(data);
      out.assign(first, first + n);
      return all_fit<K, S>(out.data(), n);
    }
  }
  out.resize(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<K>(load<S>(data, i));
  if constexpr (sizeof(S) > sizeof(K)) {
    // Narrowed copies no longer tell: test the source (tokens and
    // descriptors narrow; row ids, the long batches, never do).
    bool ok = true;
    for (std::size_t i = 0; i < n; ++i) ok &= fits<K>(load<S>(data, i));
    return ok;
  } else {
    return all_fit<K, S>(out.data(), n);
  }
}

template <class K, class S>
IntBuffer convert_items(const std::byte* data, std::size_t n, std::vector<K>& out) {
  if (copy_items<K, S>(data, n, out)) return IntBuffer::kRead;
  // The first value out of range fails as the same value as an int does.
  for (std::size_t i = 0; i < n; ++i) {
    const S v = load<S>(data, i);
    if (fits<K>(v)) continue;
    Ref value(std::is_signed_v<S> ? PyLong_FromLongLong(static_cast<long long>(v))
                                  : PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v)));
    K ignored;
    if (value && from_py(value.get(), ignored)) raise(PyExc_SystemError, nullptr);
    return IntBuffer::kFailed;
  }
  return IntBuffer::kRead;
}

template <class K>
IntBuffer read_int_buffer_as(PyObject* o, std::vector<K>& out) {
  if (!BufferHold::exports(o)) return IntBuffer::kNotOne;
  BufferHold hold;
  if (!hold.acquire(o, false)) {
    PyErr_Clear();  // the sequence path reports what is wrong with the object
    return IntBuffer::kNotOne;
  }
  const IntFormat f = int_format(hold.view());
  if (f.width == 0 || hold.view().ndim < 1 || !hold.c_contiguous()) return IntBuffer::kNotOne;
  const std::byte* data = hold.data();
  const std::size_t n = hold.items();
  switch (f.width) {
    case 1: return f.is_signed ? convert_items<K, std::int8_t>(data, n, out)
                               : convert_items<K, std::uint8_t>(data, n, out);
    case 2: return f.is_signed ? convert_items<K, std::int16_t>(data, n, out)
                               : convert_items<K, std::uint16_t>(data, n, out);
    case 4: return f.is_signed ? convert_items<K, std::int32_t>(data, n, out)
                               : convert_items<K, std::uint32_t>(data, n, out);
    default: return f.is_signed ? convert_items<K, std::int64_t>(data, n, out)
                                : convert_items<K, std::uint64_t>(data, n, out);
  }
}

}  // namespace

BufferHold::~BufferHold() {
  if (held_) buffer_api().release(&view_);
}

bool BufferHold::exports(PyObject* o) {
  const BufferApi& api = buffer_api();
  return api.ok() && api.check(o) != 0;
}

bool BufferHold::acquire(PyObject* o, bool writable) {
  const BufferApi& api = buffer_api();
  if (!api.ok()) {
    raise(PyExc_SystemError, "the interpreter does not export the buffer protocol");
    return false;
  }
  if (api.get(o, &view_, kStrides | kFormat | (writable ? kWritable : 0)) != 0) return false;
  held_ = true;
  return true;
}

bool BufferHold::c_contiguous() const {
  if (view_.suboffsets != nullptr) {
    for (int i = 0; i < view_.ndim; ++i) {
      if (view_.suboffsets[i] >= 0) return false;
    }
  }
  if (view_.strides == nullptr || view_.len == 0) return true;
  Py_ssize_t expected = view_.itemsize;
  for (int i = view_.ndim - 1; i >= 0; --i) {
    if (view_.shape[i] != 1 && view_.strides[i] != expected) return false;
    expected *= view_.shape[i];
  }
  return true;
}

IntFormat int_format(const RawBuffer& view) {
  const char* f = view.format != nullptr ? view.format : "B";
  if (*f == '@' || *f == '=' || *f == (kLittleEndian ? '<' : '>') || (!kLittleEndian && *f == '!')) {
    ++f;
  }
  if (f[0] == '\0' || f[1] != '\0') return {};
  // The item size decides the width: with a byte-order prefix 'l' means 4
  // bytes to the struct module, yet ctypes exports its 8-byte long as '<l'.
  const Py_ssize_t size = view.itemsize;
  bool fits_letter = false;
  switch (f[0]) {
    case 'b': case 'B': fits_letter = size == 1; break;
    case 'h': case 'H': fits_letter = size == 2; break;
    case 'i': case 'I': fits_letter = size == 4; break;
    case 'l': case 'L': fits_letter = size == 4 || size == 8; break;
    case 'q': case 'Q': fits_letter = size == 8; break;
    default: break;
  }
  if (!fits_letter) return {};
  return {static_cast<unsigned>(size), f[0] >= 'a'};
}

IntBuffer read_int_buffer(PyObject* o, std::vector<std::uint64_t>& out) {
  return read_int_buffer_as(o, out);
}
IntBuffer read_int_buffer(PyObject* o, std::vector<std::uint32_t>& out) {
  return read_int_buffer_as(o, out);
}
IntBuffer read_int_buffer(PyObject* o, std::vector<std::int32_t>& out) {
  return read_int_buffer_as(o, out);
}

bool acquire_output(PyObject* o, const char* param, BufferHold& hold) {
  if (!BufferHold::exports(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': a writable buffer is required, not '%s'", param,
                 type_name(o).c_str());
    return false;
  }
  if (hold.acquire(o, true) && !hold.view().readonly) return true;
  PyErr_Clear();
  BufferHold probe;
  const bool read_only = probe.acquire(o, false);
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError,
               read_only ? "argument '%s': the buffer of '%s' is read-only"
                         : "argument '%s': a writable buffer is required, not '%s'",
               param, type_name(o).c_str());
  return false;
}

bool check_output_size(const BufferHold& hold, const char* param, unsigned __int128 expected,
                       std::size_t actual, const char* unit) {
  if (!hold.c_contiguous()) {
    PyErr_Format(PyExc_ValueError,
                 "argument '%s': expected a C-contiguous buffer of %s %s, got a non-contiguous "
                 "one of %zu %s",
                 param, decimal(expected).c_str(), unit, actual, unit);
    return false;
  }
  if (expected != actual) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected a buffer of %s %s, got %zu %s", param,
                 decimal(expected).c_str(), unit, actual, unit);
    return false;
  }
  return true;
}

}  // namespace quandrel::py
