// The buffer protocol, for arrays in and caller-owned memory out: a holder of
// one exported buffer, the reading of integer buffers into vectors, and the
// checks of an output buffer.
#pragma once

#include "py_ref.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <memory_resource>
#include <span>
#include <vector>

#include "dlpack.h"

namespace quandrel::py {

// The layout of CPython's Py_buffer, which the 3.10 limited headers do not
// declare. It is the same in every version from 3.0 on, and frozen as part
// of the stable ABI since 3.11.
struct RawBuffer {
  void* buf;
  PyObject* obj;
  Py_ssize_t len;
  Py_ssize_t itemsize;
  int readonly;
  int ndim;
  char* format;
  Py_ssize_t* shape;
  Py_ssize_t* strides;
  Py_ssize_t* suboffsets;
  void* internal;
};

// The memory of one object, exported through the buffer protocol or taken as
// a tensor through `__dlpack__`, and given back with the holder. The
// interpreter lock must be held when it is acquired and when it is released;
// in between the memory stays put, so it may be read or written without the
// lock.
class BufferHold {
 public:
  BufferHold() = default;
  BufferHold(const BufferHold&) = delete;
  BufferHold& operator=(const BufferHold&) = delete;
  ~BufferHold();

  // True when `o` exports a buffer at all; asks nothing of the exporter.
  static bool exports(PyObject* o);
  // Acquires a strided, formatted view (writable when asked); false with the
  // exporter's exception set when it refuses.
  bool acquire(PyObject* o, bool writable);
  // Takes the tensor of an object that offers `__dlpack__`; the view says
  // whether it is read-only. False with an exception set (see DlpackImport).
  bool acquire_tensor(PyObject* o);
  // Leaves the memory unreleased: for a thread that the interpreter ends
  // while it does not hold the lock.
  void abandon() {
    held_ = false;
    if (tensor_) tensor_->abandon();
  }

  const RawBuffer& view() const { return view_; }
  std::byte* data() const { return static_cast<std::byte*>(view_.buf); }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }
  std::size_t items() const { return size() / static_cast<std::size_t>(view_.itemsize); }
  bool c_contiguous() const;

 private:
  RawBuffer view_{};
  bool held_ = false;  // a buffer of the protocol, to release
  std::unique_ptr<DlpackImport> tensor_;  // made only for a tensor: most calls take none
};

// The kind of a buffer's items, from its format and item size: integers of
// native byte order only.
struct IntFormat {
  unsigned width = 0;  // bytes; 0 when the items are not such integers
  bool is_signed = false;
};
IntFormat int_format(const RawBuffer& view);

enum class IntBuffer {
  kRead,     // `out` holds the values
  kFailed,   // the exception is set
  kNotOne,   // not integers in memory: take the sequence path
};

// Reads every item of an integer buffer or CPU tensor of at least one
// dimension, in C order, whatever its strides. Each item is read from the
// caller's memory exactly once, and the value read is the one checked and
// kept: another thread or process may be changing the memory meanwhile. A
// value out of K's range raises exactly what the element-by-element
// conversion raises for the same value as an `int`, with its C-order index
// in `failed_item`.
IntBuffer read_int_buffer(PyObject* o, std::vector<std::uint64_t>& out, std::size_t& failed_item);
IntBuffer read_int_buffer(PyObject* o, std::vector<std::uint32_t>& out, std::size_t& failed_item);
IntBuffer read_int_buffer(PyObject* o, std::vector<std::int32_t>& out, std::size_t& failed_item);
IntBuffer read_int_buffer(PyObject* o, std::pmr::vector<std::uint64_t>& out, std::size_t& failed_item);

// An output argument: a writable C-contiguous buffer or CPU tensor of plain
// data. `acquire_output` raises TypeError "argument 'P': ..." for an object
// that exports no memory, read-only memory, memory elsewhere than the CPU, or
// items that are Python objects (writing bytes over them would corrupt the
// interpreter's memory). `check_output_size` raises ValueError naming the expected
// and the actual size when the buffer is not C-contiguous or not exactly
// `expected` units long (bytes, or items when `unit` is "items").
bool acquire_output(PyObject* o, const char* param, BufferHold& hold);
bool check_output_size(const BufferHold& hold, const char* param, unsigned __int128 expected,
                       std::size_t actual, const char* unit);

}  // namespace quandrel::py
