// One parallel run: parts handed out by a shared counter, the caller and its
// helpers taking them, one completion signal for the whole run.
#include <atomic>
#include <condition_variable>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#include "core/mutex.h"
#include "io/pool/run_parts.h"
#include "io/pool/worker_pool.h"

namespace quandrel::io {
namespace {

class Run final : public Job {
 public:
  Run(std::size_t parts, detail::PartFn fn, void* context)
      : parts_(parts), fn_(fn), context_(context) {}

  void taken() noexcept override { active_.fetch_add(1, std::memory_order_relaxed); }
  void work() noexcept override {
    drain();
    leave();
  }

  // Takes parts until none is left.
  void drain() noexcept {
    for (;;) {
      const std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
      if (i >= parts_) return;
      try {
        fn_(context_, i);
      } catch (...) {
        if (!failed_.exchange(true, std::memory_order_relaxed)) first_fault_ = std::current_exception();
      }
    }
  }

  // A helper that could not be started after taken() counted it.
  void untake() noexcept { active_.fetch_sub(1, std::memory_order_relaxed); }

  // The caller's end: drops its own share and waits until every helper that
  // took the run has left it. No helper touches the run after that.
  void finish() {
    if (active_.fetch_sub(1, std::memory_order_acq_rel) != 1) {
      MutexLock lock(mu_);
      done_cv_.wait(lock.unique(), [this]() QUANDREL_REQUIRES(mu_) { return done_; });
    }
    if (first_fault_) std::rethrow_exception(first_fault_);
  }

 private:
  // The last one out signals, under the mutex, so that the caller cannot
  // free the run before the signal has been given.
  void leave() noexcept {
    if (active_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    MutexLock lock(mu_);
    done_ = true;
    done_cv_.notify_one();
  }

  const std::size_t parts_;
  const detail::PartFn fn_;
  void* const context_;
  std::atomic<std::size_t> next_{0};
  std::atomic<std::size_t> active_{1};  // the caller, and every helper that took the run
  std::atomic<bool> failed_{false};
  std::exception_ptr first_fault_;  // written once, by whoever set failed_
  Mutex mu_;
  std::condition_variable done_cv_;
  bool done_ QUANDREL_GUARDED_BY(mu_) = false;
};

void run_with_own_threads(Run& run, std::size_t helpers) {
  std::vector<std::thread> threads;
  try {
    threads.reserve(helpers);
    for (std::size_t i = 0; i < helpers; ++i) {
      run.taken();
      try {
        threads.emplace_back([&run] { run.work(); });
      } catch (...) {
        run.untake();
        throw;
      }
    }
  } catch (const std::system_error&) {
    // The threads already started and the caller take the rest.
  } catch (const std::bad_alloc&) {
  }
  run.drain();
  for (std::thread& t : threads) t.join();
}

}  // namespace

namespace detail {

void run_parts(std::size_t parts, std::size_t helpers, PartFn fn, void* context) {
  if (parts == 0) return;
  Run run(parts, fn, context);
  helpers = std::min(helpers, parts - 1);
  if (helpers == 0) {
    run.drain();
  } else if (WorkerPool* pool = global_pool()) {
    helpers = std::min(helpers, pool->size());
    pool->submit(run, helpers);
    run.drain();
    // Parts are all taken by now; helpers still queued have nothing to do.
    pool->withdraw(run);
  } else {
    run_with_own_threads(run, helpers);
  }
  run.finish();
}

}  // namespace detail
}  // namespace quandrel::io
