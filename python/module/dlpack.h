// Tensors of other libraries (torch, jax, numpy, ...) through their
// `__dlpack__` method: the memory of a tensor on the CPU, borrowed without a
// copy for as long as the import lives.
#pragma once

#include "py_ref.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quandrel::py {

struct RawBuffer;

// The exchange format's records, as its ABI (major version 1, and the
// unversioned form before it) lays them out.
struct DLDevice {
  std::int32_t device_type;
  std::int32_t device_id;
};
struct DLDataType {
  std::uint8_t code;
  std::uint8_t bits;
  std::uint16_t lanes;
};
struct DLTensor {
  void* data;
  DLDevice device;
  std::int32_t ndim;
  DLDataType dtype;
  std::int64_t* shape;
  std::int64_t* strides;  // in items; null for a C-contiguous tensor
  std::uint64_t byte_offset;
};
struct DLManagedTensor {
  DLTensor dl_tensor;
  void* manager_ctx;
  void (*deleter)(DLManagedTensor*);
};
struct DLPackVersion {
  std::uint32_t major;
  std::uint32_t minor;
};
struct DLManagedTensorVersioned {
  DLPackVersion version;
  void* manager_ctx;
  void (*deleter)(DLManagedTensorVersioned*);
  std::uint64_t flags;
  DLTensor dl_tensor;
};

// One tensor taken from its producer. Not copyable; the producer's deleter
// runs when the import is destroyed, with the interpreter lock held, unless
// it was abandoned.
class DlpackImport {
 public:
  DlpackImport() = default;
  DlpackImport(const DlpackImport&) = delete;
  DlpackImport& operator=(const DlpackImport&) = delete;
  ~DlpackImport();

  // True when `o`'s type has a `__dlpack__` method.
  static bool offered_by(PyObject* o);
  // Takes the tensor of `o` and describes its memory in `view` (byte strides,
  // a struct-module format where there is one). False with an exception set:
  // TypeError naming the device for memory that is not the CPU's, or for
  // items of less than a byte; whatever the producer raised otherwise.
  bool take(PyObject* o, RawBuffer& view);
  void abandon();

 private:
  void release();

  DLManagedTensor* legacy_ = nullptr;
  DLManagedTensorVersioned* versioned_ = nullptr;
  std::vector<Py_ssize_t> shape_, strides_;
  std::string format_;
};

}  // namespace quandrel::py
