// ReadHandle: a read that runs while its caller goes on, as Python sees it.
#pragma once

#include "py_ref.h"

#include <memory>

#include "buffer.h"
#include "io/async/async_read.h"

namespace quandrel::py {

// The type, made once per interpreter (borrowed; null with an exception set).
PyObject* read_handle_class();

// What a read borrows from Python until it ends: the object that owns the
// files it reads, the buffer it writes and the one its ids came from.
struct ReadBorrows {
  Ref owner;
  Ref out;
  std::unique_ptr<BufferHold> out_export;
  std::unique_ptr<BufferHold> ids_export;  // null when the ids were no buffer
};

// Holds a read export of `ids` when it offers one, so that it stays put
// while the read that was given it runs; anything else is left alone.
std::unique_ptr<BufferHold> hold_ids(PyObject* ids);

// A new handle of `read`, which then runs: here, without the interpreter
// lock, when `here` (a batch too small and hot to be worth a hand-off),
// else on the async threads.
PyObject* start_read(std::shared_ptr<io::AsyncRead> read, ReadBorrows borrows, bool here);

// Module functions the package's asyncio support uses: the descriptor ended
// reads announce themselves on, and the tokens they posted.
PyMethodDef* async_functions();

}  // namespace quandrel::py
