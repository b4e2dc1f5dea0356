// Building and checking tables: the StoreWriter class and the functions that
// open and verify a table from its manifest.
#pragma once

#include "py_ref.h"

#include "buffer.h"

namespace quandrel::py {

// The StoreWriter type, made once per interpreter (borrowed; null with an
// exception set on failure).
PyObject* store_writer_class();

// open_store, verify_store, _digest128: module attributes outside __all__
// (the package exports the public ones). Null-terminated, static storage.
PyMethodDef* table_functions();

// An input argument: any C-contiguous buffer or CPU tensor (`__dlpack__`).
// TypeError "argument 'P': ..." for an object that offers neither, ValueError
// for a non-contiguous one.
bool acquire_input(PyObject* o, const char* param, BufferHold& hold);

}  // namespace quandrel::py
