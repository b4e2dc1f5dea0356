// ReadHandle: a read that runs while its caller goes on, as Python sees it.
#pragma once

#include "py_ref.h"

#include <chrono>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "buffer.h"
#include "io/async/async_read.h"
#include "io/read/read_clock.h"

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

// A new handle of `read`, which then runs on the async threads, unless it
// has ended already.
PyObject* start_read(std::shared_ptr<io::AsyncRead> read, ReadBorrows borrows);

// A batch this small is read on the caller while small batches come from
// memory: a hand-off to another thread would cost more than the read.
inline constexpr std::size_t kInlineItems = 64;

// Time since `start` (an io::now_ns()): the read clock reads the counter
// directly, where steady_clock's vDSO call costs a small read a few times more.
inline std::chrono::nanoseconds since(std::uint64_t start) {
  return std::chrono::nanoseconds(io::now_ns() - start);
}

// The async form of a read of items (rows, records) of `item_bytes` each:
// `read(ids, out)` is the synchronous read of those ids into exactly their
// slots, run chunk by chunk (a cancel does not cut a chunk). The ids must
// have passed every check the synchronous form makes before reading; they
// came from `ids_arg`, whose buffer, if it has one, the handle holds until
// the read ends. `together`, when given, reads several such reads of
// `source` as one batch (see AsyncRead::Together).
template <class Read>
PyObject* start_item_read(std::vector<std::uint64_t> ids, PyObject* ids_arg, std::span<std::byte> out,
                          std::uint64_t item_bytes, std::size_t chunk_items, Read read,
                          ReadBorrows borrows, const void* source = nullptr,
                          io::AsyncRead::TogetherFn together = {}) {
  const std::size_t n = ids.size();
  const bool small = n <= kInlineItems;
  if (n == 0 || (small && io::SmallReadHint::hot())) {
    // Read here, without the interpreter lock, before the handle exists: it
    // is born ended and holds nothing, so the handle costs little more than
    // the synchronous read. What the read raises, the handle delivers.
    Result<void> result;
    std::exception_ptr fault;
    // If taking the lock back ends this thread, what the call holds of
    // Python is left, not released.
    run_unlocked([&] {
      borrows.out_export->abandon();
      (void)borrows.owner.release();
      (void)borrows.out.release();
    }, [&] {
      try {
        const std::uint64_t start = io::now_ns();
        if (n > 0) result = read(std::span<const std::uint64_t>(ids), out);
        if (n > 0) io::SmallReadHint::record(since(start));
      } catch (...) {
        fault = std::current_exception();
      }
    });
    return start_read(io::AsyncRead::ended(std::move(result), std::move(fault)), std::move(borrows));
  }
  borrows.ids_export = hold_ids(ids_arg);
  // The vector's buffer moves with it into the read, which owns it from then on.
  const io::ItemsInto items{{ids.data(), n}, out.data()};
  io::AsyncRead::ChunkFn chunks = [ids = std::move(ids), out, item_bytes, small, read](std::size_t first,
                                                                                      std::size_t last) {
    const std::uint64_t start = io::now_ns();
    Result<void> r = read(std::span<const std::uint64_t>(ids.data() + first, last - first),
                          out.subspan(first * item_bytes, (last - first) * item_bytes));
    if (small) io::SmallReadHint::record(since(start));
    return r;
  };
  if (!together) {
    return start_read(std::make_shared<io::AsyncRead>(n, chunk_items, std::move(chunks)), std::move(borrows));
  }
  // A batch of many reads tells the small ones whether they come from
  // memory: at its pace, would a small read have?
  auto timed = [together = std::move(together)](std::span<const io::ItemsInto> batches) {
    const std::uint64_t start = io::now_ns();
    Result<void> r = together(batches);
    std::size_t total = 0;
    for (const io::ItemsInto& b : batches) total += b.ids.size();
    if (total > 0) io::SmallReadHint::record(since(start) * kInlineItems / total);
    return r;
  };
  return start_read(std::make_shared<io::AsyncRead>(n, chunk_items, std::move(chunks),
                                                    io::AsyncRead::Together{source, items, std::move(timed)}),
                    std::move(borrows));
}

// Module functions the package's asyncio support uses: the descriptor ended
// reads announce themselves on, and the tokens they posted.
PyMethodDef* async_functions();

}  // namespace quandrel::py
