// The workers behind run_parts: long-lived named threads that serve one
// queue of jobs, and the one pool of the process.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace quandrel::io {

// A piece of parallel work that any number of workers may join. A job stays
// queued until as many workers as it asked for have taken it, or until its
// owner withdraws it; it must outlive both.
class Job {
 public:
  // Called by a worker taking the job, with the queue's lock held, so that
  // the owner can count its helpers before withdrawing the rest.
  virtual void taken() noexcept = 0;
  // Then run by that worker, without the lock. Must not throw.
  virtual void work() noexcept = 0;

 public:
  virtual ~Job() = default;
};

class WorkerPool {
 public:
  // Starts up to max(count, 1) workers. A thread that cannot be created ends
  // the start: the workers already running make a smaller pool, since a
  // process short of threads is better served by some than by none. Throws
  // std::system_error only when not even one could be started, and the fault
  // "capacity overflow" when `count` handles cannot even be counted.
  explicit WorkerPool(std::size_t count);
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t size() const { return workers_.size(); }

  // Queues `job` for `helpers` workers (at least 1), waking that many.
  void submit(Job& job, std::size_t helpers);

  // Takes back what is still queued of `job`, under the same lock that
  // workers take it with: once this returns, no further worker starts it.
  void withdraw(Job& job);

 private:
  struct Inner;
  static void worker_loop(std::shared_ptr<Inner> inner);

  const std::shared_ptr<Inner> inner_;
  // Never joined nor destroyed: the pool lives as long as the process.
  std::vector<std::thread> workers_;
};

// The process-wide pool, created on first use with the configured worker
// count, or nullptr when there is none (switched off, or no thread could be
// started). See global_pool.cc.
WorkerPool* global_pool();

namespace pool {

// QUANDREL_NO_POOL, read once per process: set to anything but "" or "0".
bool disabled();

// The number of workers the pool has, creating it on first use, or nullopt
// when there is no pool (switched off, or not one worker could start). Throws the fault
// "capacity overflow" when the configured count cannot be held.
std::optional<std::size_t> worker_count();

}  // namespace pool

}  // namespace quandrel::io
