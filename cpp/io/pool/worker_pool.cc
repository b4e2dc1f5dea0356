#include "io/pool/worker_pool.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <stdexcept>
#include <string>
#include <system_error>

#include "core/error.h"
#include "core/messages.h"
#include "core/mutex.h"

namespace quandrel::io {
namespace {

// Linux keeps 15 bytes of a thread name; longer names are refused, not cut.
constexpr std::size_t kMaxThreadName = 15;

// Thread names only help people reading a process listing, so a name that
// cannot be set is no reason to go without the thread.
void name_thread(std::thread& thread, std::size_t index) {
  std::string name = "quandrel-io-" + std::to_string(index);
  if (name.size() > kMaxThreadName) name.resize(kMaxThreadName);
  (void)::pthread_setname_np(thread.native_handle(), name.c_str());
}

}  // namespace

// What the workers share with the pool. Every worker holds a share for as
// long as it runs. The queue holds one entry per job, not per helper, so it
// stays as short as the number of runs under way and never allocates once
// it has grown to that.
struct WorkerPool::Inner {
  struct Queued {
    Job* job;
    std::size_t wanted;  // helpers it still asks for
  };
  Mutex mu;
  std::condition_variable available;  // signalled once per helper asked for
  std::vector<Queued> queue QUANDREL_GUARDED_BY(mu);  // front first
};

void WorkerPool::worker_loop(std::shared_ptr<Inner> inner) {
  MutexLock lock(inner->mu);
  for (;;) {
    if (inner->queue.empty()) {
      inner->available.wait(lock.unique());
      continue;
    }
    Job* job = inner->queue.front().job;
    if (--inner->queue.front().wanted == 0) inner->queue.erase(inner->queue.begin());
    job->taken();
    lock.unlock();
    job->work();  // the job may be gone once this returns
    lock.lock();
  }
}

WorkerPool::WorkerPool(std::size_t count) : inner_(std::make_shared<Inner>()) {
  count = std::max<std::size_t>(count, 1);
  try {
    workers_.reserve(count);
  } catch (const std::length_error&) {
    fault(msg::kCapacityOverflow);
  }
  for (std::size_t i = 0; i < count; ++i) {
    try {
      workers_.emplace_back(worker_loop, inner_);
    } catch (const std::system_error&) {
      if (workers_.empty()) throw;
      break;
    }
    name_thread(workers_.back(), i);
  }
}

void WorkerPool::submit(Job& job, std::size_t helpers) {
  helpers = std::max<std::size_t>(helpers, 1);
  {
    MutexLock lock(inner_->mu);
    inner_->queue.push_back({&job, helpers});  // may throw bad_alloc: then nothing is queued
  }
  if (helpers >= workers_.size()) {
    inner_->available.notify_all();
  } else {
    for (std::size_t i = 0; i < helpers; ++i) inner_->available.notify_one();
  }
}

void WorkerPool::withdraw(Job& job) {
  MutexLock lock(inner_->mu);
  const auto it = std::find_if(inner_->queue.begin(), inner_->queue.end(),
                               [&job](const Inner::Queued& q) { return q.job == &job; });
  if (it != inner_->queue.end()) inner_->queue.erase(it);
}

}  // namespace quandrel::io
