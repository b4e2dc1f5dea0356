// Copies out of file mappings that survive the file shrinking underneath.
//
// A page of a shared mapping that lies past the file's current end (the file
// was truncated after it was mapped), or whose read fails, raises SIGBUS on
// access. These copies catch that fault and report it as a failed copy, so
// the caller can fall back to a positional read and get the answer a read
// gives (a short count, or the OS error). Nothing else is caught: a fault
// whose address lies outside the source range of the copy in progress, or
// that happens on a thread not inside a copy, goes on to the handler the
// program has installed, as the kernel would hand it over (its mask, its
// flags, or the default action, which ends the process).
//
// The program may install its own SIGBUS handler at any time (faulthandler,
// crash reporters, signal.signal), and the kernel calls only the one
// installed last. keep_copy_fault_handler_first puts ours back in front and
// makes the program's handler the one ours hands on to; callers call it once
// per batch of copies.
//
// Thread-safe: any number of threads may copy at once. The handler is never
// removed. A handler installed by another thread while a batch is being
// copied is only put behind ours at the next batch.
#pragma once

#include <cstddef>
#include <span>

namespace quandrel::io {

struct CopyOp {
  void* dst;
  const void* src;  // inside a mapping; only these bytes are read
  std::size_t n;
};

// Copies each op in order. Returns ops.size() when every copy completed, or
// the index of the op whose source faulted: the ops before it are complete,
// its destination holds an unspecified prefix, the ops after it are untouched.
// One guard is set up per call, so batches pay for it once.
std::size_t safe_copy_many(std::span<const CopyOp> ops) noexcept;

// One copy; false when its source faulted (dst then holds unspecified bytes).
inline bool safe_copy(void* dst, const void* src, std::size_t n) noexcept {
  const CopyOp op{dst, src, n};
  return safe_copy_many({&op, 1}) == 1;
}

// Puts the fault handler in front of whatever SIGBUS handler was installed
// since it last was, keeping that one as the handler it hands other faults
// to. One sigaction query when nothing has changed: call it before each
// batch of copies (a fetch, a batch of records), on the thread that starts
// it; the batch's helpers need not.
void keep_copy_fault_handler_first() noexcept;

}  // namespace quandrel::io
