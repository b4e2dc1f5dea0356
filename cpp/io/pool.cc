#include "io/pool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <type_traits>

#include "core/error.h"
#include "core/messages.h"

namespace quandrel::io {
namespace {

constexpr std::size_t kMinDefaultWorkers = 32;
constexpr std::size_t kMaxDefaultWorkers = 64;
// Linux keeps 15 bytes of a thread name; longer names are refused, not cut.
constexpr std::size_t kMaxThreadName = 15;

// What the workers share with the pool. Every worker holds a share for as
// long as it runs, so the record outlives a pool whose creation failed.
struct Inner {
  std::mutex mu;
  std::condition_variable available;  // signalled once per queued task
  std::deque<Task> queue;             // guarded by mu
  // Nothing sets it: the pool lives as long as the process.
  std::atomic<bool> shutdown{false};
};

void worker_loop(std::shared_ptr<Inner> inner) {
  std::unique_lock lock(inner->mu);
  for (;;) {
    if (!inner->queue.empty()) {
      Task task = std::move(inner->queue.front());
      inner->queue.pop_front();
      lock.unlock();
      task.run();  // consumes the task: it is gone before the lock is retaken
      lock.lock();
    } else if (inner->shutdown.load(std::memory_order_acquire)) {
      return;
    } else {
      inner->available.wait(lock);
    }
  }
}

// Thread names only help people reading a process listing, so a name that
// cannot be set is no reason to go without the thread.
void name_thread(std::thread& thread, std::size_t index) {
  std::string name = "quandrel-io-" + std::to_string(index);
  if (name.size() > kMaxThreadName) name.resize(kMaxThreadName);
  (void)::pthread_setname_np(thread.native_handle(), name.c_str());
}

// A fixed set of named workers serving one first-in, first-out queue.
// submit() may be called from any number of threads at once.
class Pool {
 public:
  // Starts max(count, 1) workers, each named before the constructor returns.
  // Throws std::system_error when a thread cannot be created, and the fault
  // "capacity overflow" when `count` handles cannot even be counted.
  explicit Pool(std::size_t count) : inner_(std::make_shared<Inner>()) {
    count = std::max<std::size_t>(count, 1);
    try {
      workers_.reserve(count);
    } catch (const std::length_error&) {
      fault(msg::kCapacityOverflow);
    }
    try {
      for (std::size_t i = 0; i < count; ++i) {
        workers_.emplace_back(worker_loop, inner_);
        name_thread(workers_.back(), i);
      }
    } catch (...) {
      // Joining would wait for ever: a worker returns only at shutdown. The
      // detached ones idle on their share of `inner_`.
      for (std::thread& t : workers_) t.detach();
      throw;
    }
  }

  std::size_t size() const { return workers_.size(); }

  // Appends the whole batch under one hold of the lock, so the tasks of one
  // run stay together in the queue. On failure (out of memory) nothing of the
  // batch stays queued, since the caller will not wait for a part of it: the
  // tasks are handed back to `tasks`, unrun.
  void submit(std::vector<Task>& tasks) {
    {
      std::lock_guard lock(inner_->mu);
      std::size_t appended = 0;
      try {
        for (Task& t : tasks) {
          inner_->queue.push_back(std::move(t));
          ++appended;
        }
      } catch (...) {
        for (; appended > 0; --appended) {
          tasks[appended - 1] = std::move(inner_->queue.back());
          inner_->queue.pop_back();
        }
        throw;
      }
    }
    for (std::size_t i = 0; i < tasks.size(); ++i) inner_->available.notify_one();
  }

 private:
  const std::shared_ptr<Inner> inner_;
  // Never joined nor destroyed: the pool is never torn down.
  std::vector<std::thread> workers_;
};

enum class Slot { kEmpty, kReady, kNoPool };

// The process-wide values. Trivially destructible, so there is no static
// destructor to run, let alone one that waits for the workers at exit.
struct Globals {
  // Serialises the first reads of the environment and the creation of the
  // pool. The fork handlers hold it across fork(), so a child never starts
  // with it taken by a thread it does not have.
  std::mutex mu;
  std::atomic<int> no_pool{-1};  // -1 until QUANDREL_NO_POOL is read, then 0 or 1
  std::optional<std::size_t> workers;  // guarded by mu; set once, kept by forked children
  std::atomic<Slot> slot{Slot::kEmpty};
  Pool* pool = nullptr;  // published by the release store of slot = kReady
};
static_assert(std::is_trivially_destructible_v<Globals>);
constinit Globals g;

// Set while this thread holds g.mu for a fork. A fork that races with the
// first registration can leave a child with the handlers registered twice
// (pthread_once starts over in the child); the flag keeps the second pair
// from locking the mutex again.
thread_local bool t_holds_for_fork = false;

void before_fork() {
  if (t_holds_for_fork) return;
  g.mu.lock();
  t_holds_for_fork = true;
}

void after_fork_in_parent() {
  if (!t_holds_for_fork) return;
  t_holds_for_fork = false;
  g.mu.unlock();
}

void after_fork_in_child() {
  if (!t_holds_for_fork) return;
  t_holds_for_fork = false;
  // The parent's workers do not exist here, so a batch queued on its pool
  // would wait for ever. Its pool is left behind, never destroyed (its thread
  // handles name threads of another process); the first batch here makes a
  // new one from the values the parent already read.
  if (g.slot.load(std::memory_order_relaxed) == Slot::kReady) {
    g.pool = nullptr;
    g.slot.store(Slot::kEmpty, std::memory_order_relaxed);
  }
  g.mu.unlock();
}

pthread_once_t fork_handlers_once = PTHREAD_ONCE_INIT;
int fork_handlers_error = 0;

void register_fork_handlers() {
  fork_handlers_error = ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

// Called before g.mu is first taken, so that whenever g.mu is held the
// handlers are in place. pthread_atfork fails only when out of memory.
void ensure_fork_handlers() {
  ::pthread_once(&fork_handlers_once, register_fork_handlers);
  if (fork_handlers_error != 0) throw std::bad_alloc();
}

std::optional<std::string> read_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

// The processors this process may run on, from its affinity mask, or 0 when
// the system cannot tell. The mask is grown until it covers every processor
// the kernel knows of.
std::size_t usable_processors() {
  for (int cpus = 1024; cpus <= (1 << 22); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return 0;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    const int rc = ::sched_getaffinity(0, size, set);
    const int error = errno;
    const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (rc == 0 || error != EINVAL) return static_cast<std::size_t>(count);
  }
  return 0;
}

std::size_t configured_workers() {
  if (std::optional<std::size_t> n = pool::parse_workers(read_env("QUANDREL_POOL_WORKERS"))) {
    return *n;
  }
  const std::size_t processors = usable_processors();
  return pool::default_workers(processors > 0 ? std::optional(processors) : std::nullopt);
}

// The pool, created on first use, or nullptr in the no-pool state. A fault
// ("capacity overflow") or running out of memory leaves the slot empty, so
// the next call tries again.
Pool* global() {
  Slot slot = g.slot.load(std::memory_order_acquire);
  if (slot == Slot::kReady) return g.pool;
  if (slot == Slot::kNoPool) return nullptr;

  ensure_fork_handlers();
  std::lock_guard lock(g.mu);
  slot = g.slot.load(std::memory_order_relaxed);
  if (slot == Slot::kReady) return g.pool;
  if (slot == Slot::kNoPool) return nullptr;
  if (!g.workers) g.workers = configured_workers();
  try {
    g.pool = new Pool(*g.workers);
  } catch (const std::system_error&) {
    // The OS error is not needed: a process that cannot start its workers
    // runs every batch on threads of its own, which report their own errors.
    g.slot.store(Slot::kNoPool, std::memory_order_release);
    return nullptr;
  }
  g.slot.store(Slot::kReady, std::memory_order_release);
  return g.pool;
}

// What one pool run shares between its caller and its wrapped tasks.
struct Run {
  explicit Run(std::size_t tasks) : n(tasks) {
    // Room for every fault up front, so a finishing task never allocates.
    failures.reserve(tasks);
  }

  // Called once per task, after the task has been destroyed.
  void finish(std::exception_ptr failure) {
    if (failure) {
      std::lock_guard lock(failures_mu);
      failures.push_back(std::move(failure));
    }
    {
      std::lock_guard lock(completed_mu);
      ++completed;
    }
    completed_cv.notify_all();
  }

  // Returns once every task has finished. Each task recorded its fault before
  // counting itself, so none can be missing by then.
  std::exception_ptr wait() {
    {
      std::unique_lock lock(completed_mu);
      completed_cv.wait(lock, [this] { return completed >= n; });
    }
    std::lock_guard lock(failures_mu);
    return failures.empty() ? nullptr : failures.front();
  }

  const std::size_t n;  // tasks in the run
  std::mutex completed_mu;
  std::condition_variable completed_cv;
  std::size_t completed = 0;  // guarded by completed_mu
  std::mutex failures_mu;
  std::vector<std::exception_ptr> failures;  // guarded by failures_mu, in the order recorded
};

void run_on_pool(Pool& pool, std::vector<Task> tasks) {
  auto run = std::make_shared<Run>(tasks.size());
  std::vector<Task> wrapped;
  wrapped.reserve(tasks.size());
  for (Task& t : tasks) {
    wrapped.emplace_back([task = std::move(t), run]() mutable {
      std::exception_ptr failure;
      try {
        task.run();
      } catch (...) {
        failure = std::current_exception();
      }
      run->finish(std::move(failure));
    });
  }
  pool.submit(wrapped);
  if (std::exception_ptr failure = run->wait()) std::rethrow_exception(failure);
}

void run_on_own_threads(std::vector<Task> tasks) {
  std::atomic<bool> faulted{false};
  std::vector<std::thread> threads;
  threads.reserve(tasks.size());
  int spawn_error = 0;
  std::exception_ptr other_error;
  for (Task& t : tasks) {
    try {
      threads.emplace_back([task = std::move(t), &faulted]() mutable {
        try {
          task.run();
        } catch (...) {
          // On this path the caller learns only that some task faulted.
          faulted.store(true, std::memory_order_relaxed);
        }
      });
    } catch (const std::system_error& e) {
      spawn_error = e.code().value();
      break;
    } catch (...) {
      other_error = std::current_exception();
      break;
    }
  }
  tasks.clear();  // the tasks that never got a thread, unrun
  for (std::thread& t : threads) t.join();

  if (other_error) std::rethrow_exception(other_error);
  if (spawn_error != 0) {
    fault(std::string(msg::kFailedToSpawnThread) + ": " + IoError::os(spawn_error).text());
  }
  if (faulted.load(std::memory_order_relaxed)) fault(msg::kScopedThreadPanicked);
}

}  // namespace

void scope_run(std::vector<Task> tasks) {
  if (tasks.empty()) return;
  if (!pool::disabled()) {
    Pool* pool = global();
    if (pool != nullptr && tasks.size() <= pool->size()) {
      run_on_pool(*pool, std::move(tasks));
      return;
    }
  }
  run_on_own_threads(std::move(tasks));
}

namespace pool {

bool disabled() {
  int value = g.no_pool.load(std::memory_order_acquire);
  if (value >= 0) return value != 0;

  ensure_fork_handlers();
  std::lock_guard lock(g.mu);
  value = g.no_pool.load(std::memory_order_relaxed);
  if (value < 0) {
    value = parse_no_pool(read_env("QUANDREL_NO_POOL")) ? 1 : 0;
    g.no_pool.store(value, std::memory_order_release);
  }
  return value != 0;
}

std::optional<std::size_t> worker_count() {
  if (disabled()) return std::nullopt;
  const Pool* pool = global();
  if (pool == nullptr) return std::nullopt;
  return pool->size();
}

bool parse_no_pool(const std::optional<std::string>& value) {
  if (!value) return false;
  if (value->size() == 1) return (*value)[0] != '0';
  return !value->empty();
}

std::size_t default_workers(std::optional<std::size_t> usable_processors) {
  if (!usable_processors) return kMinDefaultWorkers;
  return std::clamp(*usable_processors, kMinDefaultWorkers, kMaxDefaultWorkers);
}

std::optional<std::size_t> parse_workers(const std::optional<std::string>& value) {
  if (!value) return std::nullopt;
  const char* first = value->data();
  const char* const last = first + value->size();
  if (first != last && *first == '+') ++first;
  // from_chars takes digits only for an unsigned type: no sign, no space, no
  // prefix. It refuses an empty string and values past 2^64 - 1.
  std::size_t n = 0;
  const auto [end, error] = std::from_chars(first, last, n);
  if (error != std::errc() || end != last || n == 0) return std::nullopt;
  return n;
}

}  // namespace pool
}  // namespace quandrel::io
