// The process-wide pool and switch, created once and kept across fork() in
// a state the child can use.
#include <pthread.h>

#include <atomic>
#include <new>
#include <optional>
#include <system_error>
#include <type_traits>

#include "core/mutex.h"
#include "io/pool/pool_config.h"
#include "io/pool/worker_pool.h"

namespace quandrel::io {
namespace {

enum class Slot { kEmpty, kReady, kNoPool };

// Trivially destructible, so there is no static destructor to run, let alone
// one that waits for the workers at exit.
struct Globals {
  // Serialises the first reads of the environment and the creation of the
  // pool. The fork handlers hold it across fork(), so a child never starts
  // with it taken by a thread it does not have.
  Mutex mu;
  std::atomic<int> no_pool{-1};  // -1 until QUANDREL_NO_POOL is read, then 0 or 1
  std::optional<std::size_t> workers QUANDREL_GUARDED_BY(mu);  // set once, kept by forked children
  std::atomic<Slot> slot{Slot::kEmpty};
  WorkerPool* pool = nullptr;  // published by the release store of slot = kReady
};
static_assert(std::is_trivially_destructible_v<Globals>);
constinit Globals g;

// Set while this thread holds g.mu for a fork. A fork that races with the
// first registration can leave a child with the handlers registered twice
// (pthread_once starts over in the child); the flag keeps the second pair
// from locking the mutex again.
thread_local bool t_holds_for_fork = false;

// The handlers take g.mu in one and give it back in another, which the
// analysis cannot follow.
void before_fork() QUANDREL_NO_THREAD_SAFETY_ANALYSIS {
  if (t_holds_for_fork) return;
  g.mu.lock();
  t_holds_for_fork = true;
}

void after_fork_in_parent() QUANDREL_NO_THREAD_SAFETY_ANALYSIS {
  if (!t_holds_for_fork) return;
  t_holds_for_fork = false;
  g.mu.unlock();
}

void after_fork_in_child() QUANDREL_NO_THREAD_SAFETY_ANALYSIS {
  if (!t_holds_for_fork) return;
  t_holds_for_fork = false;
  // The parent's workers do not exist here, so a job queued on its pool
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

}  // namespace

// A fault ("capacity overflow") or running out of memory leaves the slot
// empty, so the next call tries again.
WorkerPool* global_pool() {
  if (pool::disabled()) return nullptr;
  Slot slot = g.slot.load(std::memory_order_acquire);
  if (slot == Slot::kReady) return g.pool;
  if (slot == Slot::kNoPool) return nullptr;

  ensure_fork_handlers();
  MutexLock lock(g.mu);
  slot = g.slot.load(std::memory_order_relaxed);
  if (slot == Slot::kReady) return g.pool;
  if (slot == Slot::kNoPool) return nullptr;
  if (!g.workers) g.workers = pool::configured_workers();
  try {
    g.pool = new WorkerPool(*g.workers);
  } catch (const std::system_error&) {
    // Not one worker could start: every batch runs without the pool.
    g.slot.store(Slot::kNoPool, std::memory_order_release);
    return nullptr;
  }
  g.slot.store(Slot::kReady, std::memory_order_release);
  return g.pool;
}

namespace pool {

bool disabled() {
  int value = g.no_pool.load(std::memory_order_acquire);
  if (value >= 0) return value != 0;

  ensure_fork_handlers();
  MutexLock lock(g.mu);
  value = g.no_pool.load(std::memory_order_relaxed);
  if (value < 0) {
    value = no_pool_from_env() ? 1 : 0;
    g.no_pool.store(value, std::memory_order_release);
  }
  return value != 0;
}

std::optional<std::size_t> worker_count() {
  const WorkerPool* p = global_pool();
  if (p == nullptr) return std::nullopt;
  return p->size();
}

}  // namespace pool
}  // namespace quandrel::io
