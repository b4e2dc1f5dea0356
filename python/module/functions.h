// The module-level functions, in the order in which they are registered.
#pragma once

#include "py_ref.h"

namespace quandrel::py {

// Terminated by an entry with a null name. Static storage: the function
// objects keep pointing at it.
PyMethodDef* module_functions();

// Functions beyond the seven public names: module attributes that __all__
// does not list (the package exports them). Same termination and storage.
PyMethodDef* module_extra_functions();

}  // namespace quandrel::py
