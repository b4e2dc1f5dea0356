// The module-level functions, in the order in which they are registered.
#pragma once

#include "py_ref.h"

namespace quandrel::py {

// Terminated by an entry with a null name. Static storage: the function
// objects keep pointing at it.
PyMethodDef* module_functions();

// Functions for the package's own tools, kept out of __all__. Same terms.
PyMethodDef* private_functions();

}  // namespace quandrel::py
