#include "describe.h"

#include "convert.h"

namespace quandrel::py {

PyObject* path_to_py(const std::string& path) {
  return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

std::string with_commas(std::uint64_t n) {
  std::string digits = std::to_string(n);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, 1, ',');
  return digits;
}

PyObject* describe(const char* kind, const std::string& path, const std::string& shape) {
  Ref text(path_to_py(path));
  if (!text) return nullptr;
  return PyUnicode_FromFormat("<quandrel.%s %R %s>", kind, text.get(), shape.c_str());
}

namespace {

template <std::size_t N>
PyObject* int_list(const std::array<std::uint64_t, N>& values) {
  return list_of(std::span<const std::uint64_t>(values));
}

bool set(PyObject* dict, const char* key, PyObject* value) {
  Ref owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

}  // namespace

PyObject* stats_dict(const io::ReadTotals& t) {
  Ref d(PyDict_New());
  if (!d) return nullptr;
  const bool ok = set(d.get(), "calls", to_py(t.calls)) && set(d.get(), "rows", to_py(t.rows())) &&
                  set(d.get(), "bytes", to_py(t.bytes)) &&
                  set(d.get(), "rows_from_memory", to_py(t.rows_from_memory)) &&
                  set(d.get(), "rows_from_device", to_py(t.rows_from_device)) &&
                  set(d.get(), "cold_batches", to_py(t.cold_batches)) &&
                  set(d.get(), "read_errors", to_py(t.read_errors)) &&
                  set(d.get(), "latency_buckets_ns", int_list(io::kLatencyBoundsNs)) &&
                  set(d.get(), "latency_counts", int_list(t.latency_counts));
  return ok ? d.release() : nullptr;
}

}  // namespace quandrel::py
