// Reads that run while their caller goes on: the state one read shares
// between the thread that started it and the thread that runs it, and the
// threads that run them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "core/error.h"
#include "io/read/items_into.h"

namespace quandrel::io {

// One read, cut into chunks of items so that a cancel stops it between
// chunks. Thread-safe: one thread runs it, any number wait on it, cancel it
// or ask about it. Whatever the chunks write into stays in use until done()
// is true; from then on nothing of the read touches it again.
class AsyncRead {
 public:
  enum class Outcome { kPending, kOk, kFailed, kFaulted, kCancelled };
  // Reads items [first, last): the same work as the synchronous read of
  // those items, with its errors and faults.
  using ChunkFn = std::function<Result<void>(std::size_t first, std::size_t last)>;

  // Reads the items of several reads of one source at once, as their
  // ChunkFns would one after another, but with their reads from the device
  // in flight together.
  using TogetherFn = std::function<Result<void>(std::span<const ItemsInto>)>;
  struct Together {
    const void* source = nullptr;  // reads of one source share their TogetherFn
    ItemsInto items;               // this read's, valid until it has ended
    TogetherFn read;
  };

  AsyncRead(std::size_t items, std::size_t chunk_items, ChunkFn read);
  // A read that, when it waits in the queue behind others, may run in one
  // batch with the reads of the same source queued right after it.
  AsyncRead(std::size_t items, std::size_t chunk_items, ChunkFn read, Together together);
  // A read that has already run, with `result`, or `fault` when that is
  // set: the handle of a batch read on its caller.
  static std::shared_ptr<AsyncRead> ended(Result<void> result, std::exception_ptr fault);
  AsyncRead(const AsyncRead&) = delete;
  AsyncRead& operator=(const AsyncRead&) = delete;

  // Runs the chunks in order on the calling thread, unless the read was
  // cancelled before it started, and publishes the end. Called once.
  void run() noexcept;
  // Runs `reads`, every one of which may_join() the first's source, as one
  // batch, and publishes each one's end; those cancelled before they
  // started are left out. Should the batch fail, each runs again on its
  // own, so that each ends with its own error.
  static void run_together(std::span<const std::shared_ptr<AsyncRead>> reads) noexcept;
  // Whether this read may run in a batch with others of `source`, which is
  // its own source when null; adds its items to `*items` when it may.
  bool may_join(const void*& source, std::size_t& items) const;

  bool done() const;
  // Blocks until the read ends or `timeout` passes (none: no limit; zero or
  // less: only looks). True when it has ended.
  bool wait(std::optional<std::chrono::nanoseconds> timeout) const;
  // Chunks not yet started are not read. True when the read ends cancelled,
  // which a read that already ended never does; a running chunk finishes
  // first, so done() may turn true a little later.
  bool cancel();
  // Asks for `token` (not 0) to be posted to completions() when the read
  // ends. False when it has already ended: nothing will be posted.
  bool notify_on_end(std::uint64_t token);

  // Valid once done().
  Outcome outcome() const;
  const IoError& error() const { return *error_; }        // kFailed
  std::exception_ptr fault() const { return fault_; }     // kFaulted

 private:
  // Marks the read started; false when it has already ended (cancelled).
  bool claim();
  void run_claimed() noexcept;
  void finish(Outcome outcome);

  const std::size_t items_;
  const std::size_t chunk_items_;
  ChunkFn read_;  // used only by the thread that runs the read
  const std::optional<Together> together_;

  mutable std::mutex mu_;
  mutable std::condition_variable ended_cv_;
  bool started_ = false;          // guarded by mu_
  bool ended_ = false;            // guarded by mu_
  bool cancel_asked_ = false;     // guarded by mu_
  Outcome outcome_ = Outcome::kPending;  // guarded by mu_; fixed once ended_
  std::uint64_t token_ = 0;       // guarded by mu_; 0: nobody to notify
  std::optional<IoError> error_;  // written before ended_ is published
  std::exception_ptr fault_;      // likewise
};

// Reads that borrow what their starter owns (a store's open files): the
// owner's destruction cancels them and waits until they have ended.
class ReadsInFlight {
 public:
  ReadsInFlight() = default;
  ReadsInFlight(const ReadsInFlight&) = delete;
  ReadsInFlight& operator=(const ReadsInFlight&) = delete;
  ~ReadsInFlight();
  // Keeps `read` until it ends; forgets the ones that have.
  void add(std::shared_ptr<AsyncRead> read);

 private:
  std::mutex mu_;
  std::vector<std::shared_ptr<AsyncRead>> reads_;  // guarded by mu_
};

// Queues `read` for the process's async threads, started on first use and
// never stopped. Reads run in the order queued, several at once.
void start_async(std::shared_ptr<AsyncRead> read);

// Where ended reads post their tokens: an eventfd that an event loop can
// watch, readable while tokens wait. Process-wide; a forked child gets a
// descriptor of its own.
class Completions {
 public:
  // -1 when the descriptor could not be made (then nothing is posted).
  int fd();
  void post(std::uint64_t token);
  // Every token posted since the last drain, in order.
  std::vector<std::uint64_t> drain();
};
Completions& completions();

// Whether small reads run from memory: a batch that took at most kHot did not
// wait for a device. One slow read among fast ones is more often a thread
// preempted than a device waited for, and handing the next read off would
// cost far more than it: the hint turns cold only when the last two small
// reads were both slow. Process-wide, updated by every small read timed.
class SmallReadHint {
 public:
  static constexpr std::chrono::nanoseconds kHot{15'000};
  static bool hot();
  static void record(std::chrono::nanoseconds took);
};

}  // namespace quandrel::io
