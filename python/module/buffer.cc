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

// Keeps the compiler from reading the caller's memory again where the code
// reads a copy of it: that memory may change at any time.
inline void settle_copy() { asm volatile("" ::: "memory"); }

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

// Raises for an item out of K's range exactly what the conversion of the
// same value as an int raises.
template <class K, class S>
IntBuffer raise_out_of_range(S v) {
  Ref value(std::is_signed_v<S> ? PyLong_FromLongLong(static_cast<long long>(v))
                                : PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v)));
  K ignored;
  if (value && from_py(value.get(), ignored)) raise(PyExc_SystemError, nullptr);
  return IntBuffer::kFailed;
}

// `count` items from `first`, `stride` bytes apart (negative for reversed
// views): one row of the last dimension, or a whole C-contiguous buffer.
struct Run {
  const std::byte* first;
  Py_ssize_t stride;
  std::size_t count;
};

// Calls f(run) for every row of the last dimension in C order, until f
// returns false.
template <class F>
bool for_each_run(const RawBuffer& v, bool contiguous, std::size_t n, F&& f) {
  const auto* base = static_cast<const std::byte*>(v.buf);
  if (contiguous) return f(Run{base, v.itemsize, n});
  const int last = v.ndim - 1;
  const auto row = static_cast<std::size_t>(v.shape[last]);
  std::vector<Py_ssize_t> index(static_cast<std::size_t>(last), 0);
  for (std::size_t done = 0; done < n; done += row) {
    if (!f(Run{base, v.strides[last], row})) return false;
    for (int d = last - 1; d >= 0; --d) {  // the next row: an odometer over the outer dimensions
      base += v.strides[d];
      if (++index[d] < v.shape[d]) break;
      base -= v.strides[d] * v.shape[d];
      index[d] = 0;
    }
  }
  return true;
}

// Converts the items of any layout through a small copy of the caller's
// memory, which is what is checked and kept.
template <class K, class S, class V>
IntBuffer convert_runs(const RawBuffer& v, bool contiguous, std::size_t n, V& out,
                       std::size_t& failed_item) {
  constexpr std::size_t kChunk = 256;
  out.clear();
  out.reserve(n);
  IntBuffer result = IntBuffer::kRead;
  for_each_run(v, contiguous, n, [&](const Run& r) {
    S chunk[kChunk];
    for (std::size_t start = 0; start < r.count; start += kChunk) {
      const std::size_t m = std::min(kChunk, r.count - start);
      const std::byte* p = r.first + static_cast<Py_ssize_t>(start) * r.stride;
      if (r.stride == static_cast<Py_ssize_t>(sizeof(S))) {
        std::memcpy(chunk, p, m * sizeof(S));
      } else {
        for (std::size_t j = 0; j < m; ++j) {
          std::memcpy(&chunk[j], p + static_cast<Py_ssize_t>(j) * r.stride, sizeof(S));
        }
      }
      settle_copy();
      const std::size_t done = out.size();
      out.resize(done + m);
      bool ok = true;
      for (std::size_t j = 0; j < m; ++j) {
        out[done + j] = static_cast<K>(chunk[j]);
        ok &= fits<K>(chunk[j]);
      }
      if (!ok) {
        const std::size_t j = static_cast<std::size_t>(
            std::find_if(chunk, chunk + m, [](S x) { return !fits<K>(x); }) - chunk);
        failed_item = done + j;
        result = raise_out_of_range<K, S>(chunk[j]);
        return false;
      }
    }
    return true;
  });
  return result;
}

// The common case of row ids: a C-contiguous, aligned buffer of the vector's
// width, taken in one bulk copy without zero-filling the vector first.
// Signed and unsigned variants of a type may alias.
template <class K, class S, class V>
IntBuffer convert_same_width(const std::byte* data, std::size_t n, V& out,
                             std::size_t& failed_item) {
  const K* first = reinterpret_cast<const K*>(data);
  out.assign(first, first + n);
  settle_copy();
  if (all_fit<K, S>(out.data(), n)) return IntBuffer::kRead;
  const auto bad = std::find_if(out.begin(), out.end(),
                                [](K x) { return !fits<K>(static_cast<S>(x)); });
  failed_item = static_cast<std::size_t>(bad - out.begin());
  return raise_out_of_range<K, S>(static_cast<S>(*bad));
}

template <class K, class S, class V>
IntBuffer convert_items(const RawBuffer& v, bool contiguous, std::size_t n, V& out,
                        std::size_t& failed_item) {
  if constexpr (sizeof(S) == sizeof(K)) {
    if (contiguous && reinterpret_cast<std::uintptr_t>(v.buf) % alignof(K) == 0) {
      return convert_same_width<K, S>(static_cast<const std::byte*>(v.buf), n, out, failed_item);
    }
  }
  return convert_runs<K, S>(v, contiguous, n, out, failed_item);
}

bool has_suboffsets(const RawBuffer& v) {
  if (v.suboffsets == nullptr) return false;
  for (int i = 0; i < v.ndim; ++i) {
    if (v.suboffsets[i] >= 0) return true;
  }
  return false;
}

// V: a vector of K, whatever its allocator.
template <class V, class K = typename V::value_type>
IntBuffer read_int_buffer_as(PyObject* o, V& out, std::size_t& failed_item) {
  // The common sequences, at once: asking a type for a method it lacks costs
  // more than a short fetch (the lookup formats an AttributeError).
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return IntBuffer::kNotOne;
  BufferHold hold;
  if (BufferHold::exports(o)) {
    if (!hold.acquire(o, false)) {
      PyErr_Clear();  // the sequence path reports what is wrong with the object
      return IntBuffer::kNotOne;
    }
  } else if (DlpackImport::offered_by(o)) {
    if (!hold.acquire_tensor(o)) return IntBuffer::kFailed;
  } else {
    return IntBuffer::kNotOne;
  }
  const RawBuffer& v = hold.view();
  const IntFormat f = int_format(v);
  if (f.width == 0 || v.ndim < 1 || has_suboffsets(v)) return IntBuffer::kNotOne;
  const std::size_t n = hold.items();
  if (n == 0) {
    out.clear();
    return IntBuffer::kRead;
  }
  const bool contiguous = hold.c_contiguous();
  switch (f.width) {
    case 1: return f.is_signed ? convert_items<K, std::int8_t>(v, contiguous, n, out, failed_item)
                               : convert_items<K, std::uint8_t>(v, contiguous, n, out, failed_item);
    case 2: return f.is_signed ? convert_items<K, std::int16_t>(v, contiguous, n, out, failed_item)
                               : convert_items<K, std::uint16_t>(v, contiguous, n, out, failed_item);
    case 4: return f.is_signed ? convert_items<K, std::int32_t>(v, contiguous, n, out, failed_item)
                               : convert_items<K, std::uint32_t>(v, contiguous, n, out, failed_item);
    default: return f.is_signed ? convert_items<K, std::int64_t>(v, contiguous, n, out, failed_item)
                                : convert_items<K, std::uint64_t>(v, contiguous, n, out, failed_item);
  }
}

// Whether a buffer's items are, or hold, Python objects: a type code 'O'
// outside the ':name:' of a structure's field.
bool holds_objects(const char* format) {
  if (format == nullptr) return false;
  for (const char* c = format; *c != '\0'; ++c) {
    if (*c == ':') {
      c = std::strchr(c + 1, ':');
      if (c == nullptr) return false;
    } else if (*c == 'O') {
      return true;
    }
  }
  return false;
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

bool BufferHold::acquire_tensor(PyObject* o) {
  tensor_ = std::make_unique<DlpackImport>();
  return tensor_->take(o, view_);
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

IntBuffer read_int_buffer(PyObject* o, std::vector<std::uint64_t>& out, std::size_t& failed_item) {
  return read_int_buffer_as(o, out, failed_item);
}
IntBuffer read_int_buffer(PyObject* o, std::vector<std::uint32_t>& out, std::size_t& failed_item) {
  return read_int_buffer_as(o, out, failed_item);
}
IntBuffer read_int_buffer(PyObject* o, std::vector<std::int32_t>& out, std::size_t& failed_item) {
  return read_int_buffer_as(o, out, failed_item);
}
IntBuffer read_int_buffer(PyObject* o, std::pmr::vector<std::uint64_t>& out, std::size_t& failed_item) {
  return read_int_buffer_as(o, out, failed_item);
}

bool acquire_output(PyObject* o, const char* param, BufferHold& hold) {
  if (!BufferHold::exports(o)) {
    if (!DlpackImport::offered_by(o)) {
      PyErr_Format(PyExc_TypeError, "argument '%s': a writable buffer is required, not '%s'", param,
                   type_name(o).c_str());
      return false;
    }
    if (!hold.acquire_tensor(o)) {
      name_argument_in_error(param);
      return false;
    }
  } else if (!hold.acquire(o, true)) {
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
  if (hold.view().readonly) {
    PyErr_Format(PyExc_TypeError, "argument '%s': the buffer of '%s' is read-only", param,
                 type_name(o).c_str());
    return false;
  }
  if (holds_objects(hold.view().format)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': items must be plain data, not format '%s'", param,
                 hold.view().format);
    return false;
  }
  return true;
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
