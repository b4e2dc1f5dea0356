#include "dlpack.h"

#include <iterator>
#include <string>
#include <utility>

#include "buffer.h"
#include "convert.h"
#include "errors.h"

namespace quandrel::py {
namespace {

constexpr char kLegacyName[] = "dltensor";
constexpr char kVersionedName[] = "dltensor_versioned";
constexpr char kUsedLegacyName[] = "used_dltensor";
constexpr char kUsedVersionedName[] = "used_dltensor_versioned";
constexpr std::uint64_t kFlagReadOnly = 1;

// Device types whose memory this process reads directly: the CPU's, and host
// memory pinned by a GPU runtime.
constexpr std::int32_t kCpu = 1, kCudaHost = 3, kRocmHost = 11;

bool on_cpu(std::int32_t device_type) {
  return device_type == kCpu || device_type == kCudaHost || device_type == kRocmHost;
}

std::string device_name(std::int32_t type, std::int32_t id) {
  static constexpr const char* kNames[] = {
      nullptr, "cpu", "cuda", "cuda_host", "opencl", nullptr, nullptr, "vulkan", "metal",
      "vpi", "rocm", "rocm_host", "ext_dev", "cuda_managed", "oneapi", "webgpu", "hexagon", "maia"};
  const bool known = type >= 0 && type < static_cast<std::int32_t>(std::size(kNames)) &&
                     kNames[type] != nullptr;
  return (known ? std::string(kNames[type]) : "device type " + std::to_string(type)) + ":" +
         std::to_string(id);
}

bool refuse_device(PyObject* o, std::int32_t type, std::int32_t id) {
  PyErr_Format(PyExc_TypeError, "the memory of '%s' is on device %s, not the CPU",
               type_name(o).c_str(), device_name(type, id).c_str());
  return false;
}

// Asks `__dlpack_device__` first where there is one, so that memory elsewhere
// is refused before its producer is asked to export it.
bool check_announced_device(PyObject* o) {
  if (!PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__dlpack_device__")) {
    return true;
  }
  Ref device(PyObject_CallMethod(o, "__dlpack_device__", nullptr));
  if (!device) return false;
  int type = 0, id = 0;
  if (!PyArg_ParseTuple(device.get(), "ii", &type, &id)) return false;
  return on_cpu(type) || refuse_device(o, type, id);
}

// The capsule of `o.__dlpack__`, asking for the versioned form that can say
// "read-only"; producers older than it refuse the keyword.
Ref export_capsule(PyObject* o) {
  Ref method(PyObject_GetAttrString(o, "__dlpack__"));
  if (!method) return method;
  Ref no_args(PyTuple_New(0));
  Ref kwargs(Py_BuildValue("{s(ii)}", "max_version", 1, 0));
  if (!no_args || !kwargs) return Ref();
  Ref capsule(PyObject_Call(method.get(), no_args.get(), kwargs.get()));
  if (capsule || !PyErr_ExceptionMatches(PyExc_TypeError)) return capsule;
  PyErr_Clear();
  return Ref(PyObject_CallNoArgs(method.get()));
}

// The struct-module format of a dtype, where it has one; raw bytes otherwise,
// which no integer conversion takes.
std::string format_of(DLDataType t, std::size_t item_bytes) {
  enum : std::uint8_t { kInt = 0, kUInt = 1, kFloat = 2, kComplex = 5, kBool = 6 };
  if (t.lanes == 1) {
    const int b = t.bits;
    switch (t.code) {
      case kInt: if (b == 8) return "b"; if (b == 16) return "h"; if (b == 32) return "i"; if (b == 64) return "q"; break;
      case kUInt: if (b == 8) return "B"; if (b == 16) return "H"; if (b == 32) return "I"; if (b == 64) return "Q"; break;
      case kFloat: if (b == 16) return "e"; if (b == 32) return "f"; if (b == 64) return "d"; break;
      case kComplex: if (b == 64) return "Zf"; if (b == 128) return "Zd"; break;
      case kBool: if (b == 8) return "?"; break;
      default: break;
    }
  }
  return std::to_string(item_bytes) + "x";
}

}  // namespace

DlpackImport::~DlpackImport() { release(); }

bool DlpackImport::offered_by(PyObject* o) {
  return PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__dlpack__");
}

void DlpackImport::release() {
  // Set to null first: a deleter may run Python code that ends up here again.
  if (DLManagedTensor* t = std::exchange(legacy_, nullptr); t != nullptr && t->deleter) {
    t->deleter(t);
  }
  if (DLManagedTensorVersioned* t = std::exchange(versioned_, nullptr); t != nullptr && t->deleter) {
    t->deleter(t);
  }
}

void DlpackImport::abandon() {
  legacy_ = nullptr;
  versioned_ = nullptr;
}

bool DlpackImport::take(PyObject* o, RawBuffer& view) {
  if (!check_announced_device(o)) return false;
  Ref capsule = export_capsule(o);
  if (!capsule) return false;
  // Renamed as soon as it is taken, so that the capsule's destructor leaves
  // the tensor to this import's deleter call.
  const DLTensor* t = nullptr;
  std::uint64_t flags = 0;
  if (PyCapsule_IsValid(capsule.get(), kVersionedName)) {
    auto* m = static_cast<DLManagedTensorVersioned*>(PyCapsule_GetPointer(capsule.get(), kVersionedName));
    if (PyCapsule_SetName(capsule.get(), kUsedVersionedName) < 0) return false;
    versioned_ = m;
    if (m->version.major != 1) {
      PyErr_Format(PyExc_TypeError, "'%s' exports a tensor of version %u.%u, not 1.x",
                   type_name(o).c_str(), m->version.major, m->version.minor);
      return false;
    }
    t = &m->dl_tensor;
    flags = m->flags;
  } else if (PyCapsule_IsValid(capsule.get(), kLegacyName)) {
    auto* m = static_cast<DLManagedTensor*>(PyCapsule_GetPointer(capsule.get(), kLegacyName));
    if (PyCapsule_SetName(capsule.get(), kUsedLegacyName) < 0) return false;
    legacy_ = m;
    t = &m->dl_tensor;
  } else {
    PyErr_Format(PyExc_TypeError, "'%s'.__dlpack__() returned no tensor capsule", type_name(o).c_str());
    return false;
  }
  if (!on_cpu(t->device.device_type)) return refuse_device(o, t->device.device_type, t->device.device_id);
  const std::size_t item_bits = std::size_t{t->dtype.bits} * t->dtype.lanes;
  if (item_bits == 0 || item_bits % 8 != 0) {
    PyErr_Format(PyExc_TypeError, "items of %zu bits are not supported", item_bits);
    return false;
  }
  const auto item_bytes = static_cast<Py_ssize_t>(item_bits / 8);
  shape_.assign(t->shape, t->shape + t->ndim);
  strides_.resize(shape_.size());
  Py_ssize_t items = 1, next = item_bytes;
  for (std::int32_t i = t->ndim - 1; i >= 0; --i) {
    strides_[i] = t->strides != nullptr ? static_cast<Py_ssize_t>(t->strides[i]) * item_bytes : next;
    next *= shape_[i];
    items *= shape_[i];
  }
  format_ = format_of(t->dtype, static_cast<std::size_t>(item_bytes));
  view = RawBuffer{};
  view.buf = static_cast<std::byte*>(t->data) + t->byte_offset;
  view.len = items * item_bytes;
  view.itemsize = item_bytes;
  view.readonly = (flags & kFlagReadOnly) != 0;
  view.ndim = t->ndim;
  view.format = format_.data();
  view.shape = shape_.data();
  view.strides = strides_.data();
  return true;
}

}  // namespace quandrel::py
