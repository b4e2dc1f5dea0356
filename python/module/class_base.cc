#include "class_base.h"

#include <atomic>
#include <vector>

namespace quandrel::py {

namespace {
// Initial-exec and constant-initialised: each method call of a bound class
// reads it with one load, instead of a call into the dynamic loader and a
// check that it was initialised. 0 until the thread first asks.
__attribute__((tls_model("initial-exec"))) thread_local std::uint64_t t_token = 0;
}  // namespace

std::uint64_t thread_token() {
  static std::atomic<std::uint64_t> next{1};
  if (t_token == 0) t_token = next.fetch_add(1, std::memory_order_relaxed);
  return t_token;
}

bool move_member_to_end(PyObject* type, const char* name) {
  // Read through the class, a method descriptor returns itself.
  Ref member(PyObject_GetAttrString(type, name));
  return member && PyObject_DelAttrString(type, name) == 0 &&
         PyObject_SetAttrString(type, name, member.get()) == 0;
}

PyObject* make_class(const ClassSpec& def) {
  std::vector<PyType_Slot> slots = {
      {Py_tp_doc, const_cast<char*>(def.doc)},
      {Py_tp_new, reinterpret_cast<void*>(def.construct)},
      {Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc)},
      {Py_tp_methods, def.methods},
  };
  if (def.getset != nullptr) slots.push_back({Py_tp_getset, def.getset});
  if (def.repr != nullptr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(def.repr)});
  slots.push_back({0, nullptr});
  // No Py_TPFLAGS_BASETYPE (no subclasses) and no Py_TPFLAGS_HAVE_GC (the
  // instances hold no Python references).
  PyType_Spec type_spec = {def.name, def.basicsize, 0, Py_TPFLAGS_DEFAULT, slots.data()};
  return PyType_FromSpec(&type_spec);
}

}  // namespace quandrel::py
