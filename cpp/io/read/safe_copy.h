// Copies out of file mappings that survive the file shrinking underneath.
//
// A page of a shared mapping that lies past the file's current end (the file
// was truncated after it was mapped), or whose read fails, raises SIGBUS on
// access. These copies catch that fault and report it as a failed copy, so
// the caller can fall back to a positional read and get the answer a read
// gives (a short count, or the OS error). Nothing else is caught: a fault
// whose address lies outside the source range of the copy in progress, or
// that happens on a thread not inside a copy, goes to the handler that was
// installed before ours (Python's faulthandler, a debugger's, or the default
// action, which ends the process).
//
// Thread-safe: any number of threads may copy at once. The handler is
// installed on the first copy, once per process, and never removed. It must
// be installed after any handler that should see the faults we do not catch:
// a handler installed later (faulthandler.enable() called after the first
// copy) runs first and may end the process before we can recover.
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

// Installs the fault handler now rather than on the first copy, and puts it
// back where the default action has replaced it since (faulthandler.disable()
// restores the handler it found, which removes ours). Opening a mapping calls
// it, so that a faulthandler enabled before the opening is chained to. Two
// sigaction calls per signal after the first time.
void install_copy_fault_handler() noexcept;

}  // namespace quandrel::io
