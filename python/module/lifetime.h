// Objects kept across calls belong to one interpreter. When an embedding
// program finalises it and starts another, every kept pointer must be
// forgotten, or the new interpreter would be handed the old one's objects.
#pragma once

#include "py_ref.h"

namespace quandrel::py {

// Remembers a process-wide slot holding an object of the running
// interpreter; `forget_interpreter_objects` sets it back to null.
void forget_at_finalization(PyObject** slot);

// Nulls every remembered slot, touching none of the objects: it runs when the
// interpreter that owned them is gone.
void forget_interpreter_objects();

}  // namespace quandrel::py
