#include "classes.h"

namespace quandrel::py {

PyObject* make_class(const ClassSpec& spec) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(spec.doc)},
      {Py_tp_new, reinterpret_cast<void*>(spec.construct)},
      {Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)},
      {Py_tp_methods, spec.methods},
      {spec.getset != nullptr ? Py_tp_getset : 0, spec.getset},
      {0, nullptr},
  };
  // No Py_TPFLAGS_BASETYPE (no subclasses) and no Py_TPFLAGS_HAVE_GC (the
  // instances hold no Python references).
  PyType_Spec type_spec = {spec.name, spec.basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
  return PyType_FromSpec(&type_spec);
}

}  // namespace quandrel::py
