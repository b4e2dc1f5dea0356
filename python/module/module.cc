// The extension module: single-phase initialisation, one module object per
// interpreter, refused in a second interpreter running at the same time.
#include "py_ref.h"

#include <atomic>
#include <cstdint>

#include "module_types.h"
#include "errors.h"
#include "functions.h"
#include "lifetime.h"
#include "messages.h"
#include "tables.h"

namespace quandrel::py {
namespace {

std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;  // kept for the life of the interpreter
bool g_forget_registered = false;

// After Py_FinalizeEx: an embedding program may start a new interpreter,
// which must build the module afresh (and may have another id).
void at_finalization() {
  forget_interpreter_objects();
  g_interpreter.store(-1);
  g_forget_registered = false;
}

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "_quandrel", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Sets `name` on the module and appends it to __all__ (created on first use).
bool add_public(PyObject* module, Ref& all, const char* name, PyObject* borrowed) {
  if (borrowed == nullptr) return false;
  if (!all) {
    all = Ref(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
  }
  Ref key(PyUnicode_FromString(name));
  return key && PyModule_AddObjectRef(module, name, borrowed) == 0 &&
         PyList_Append(all.get(), key.get()) == 0;
}

struct ClassEntry {
  const char* name;
  PyObject* (*ready)();
};

constexpr ClassEntry kClasses[] = {
    {"Store", store_class},
    {"View", view_class},
    {"PageReader", page_reader_class},
};

PyObject* create_module() {
  Ref module(PyModule_Create(&g_definition));
  if (!module) return nullptr;
  Ref all;
  for (const ClassEntry& c : kClasses) {
    if (!add_public(module.get(), all, c.name, c.ready())) return nullptr;
  }
  Ref module_name(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  for (PyMethodDef* def = module_functions(); def->ml_name != nullptr; ++def) {
    Ref function(PyCFunction_NewEx(def, module.get(), module_name.get()));
    if (!add_public(module.get(), all, def->ml_name, function.get())) return nullptr;
  }
  for (PyMethodDef* def = module_extra_functions(); def->ml_name != nullptr; ++def) {
    Ref function(PyCFunction_NewEx(def, module.get(), module_name.get()));
    if (!function || PyModule_AddObjectRef(module.get(), def->ml_name, function.get()) < 0) {
      return nullptr;
    }
  }
  // Tables: exported by the package, not listed in __all__.
  if (PyModule_AddObjectRef(module.get(), "StoreWriter", store_writer_class()) < 0) return nullptr;
  for (PyMethodDef* def = table_functions(); def->ml_name != nullptr; ++def) {
    Ref function(PyCFunction_NewEx(def, module.get(), module_name.get()));
    if (!function || PyModule_AddObjectRef(module.get(), def->ml_name, function.get()) < 0) {
      return nullptr;
    }
  }
  PyObject* fault = fault_class();
  if (fault == nullptr || PyModule_AddObjectRef(module.get(), "Fault", fault) < 0) return nullptr;
  return module.release();
}

PyObject* init() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  std::int64_t recorded = -1;
  if (!g_interpreter.compare_exchange_strong(recorded, id) && recorded != id) {
    return raise(PyExc_ImportError, msg::kSubinterpreters);
  }
  // Finalisation runs the functions registered so far, then forgets them.
  if (!g_forget_registered) {
    if (Py_AtExit(at_finalization) < 0) return raise(PyExc_ImportError, msg::kCannotReinitialize);
    g_forget_registered = true;
    forget_at_finalization(&g_module);
  }
  if (g_module == nullptr) {
    // A failure leaves nothing behind, so a later import tries again.
    g_module = create_module();
    if (g_module == nullptr) return nullptr;
  }
  Py_INCREF(g_module);
  return g_module;
}

}  // namespace
}  // namespace quandrel::py

PyMODINIT_FUNC PyInit__quandrel(void) {
  return quandrel::py::guarded([] { return quandrel::py::init(); });
}
