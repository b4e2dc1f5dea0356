// The first error of a batch whose tasks run in parallel. Shared by the
// caller and its tasks; the mutex is held only to record.
#pragma once

#include <atomic>
#include <optional>
#include <utility>

#include "core/error.h"
#include "core/mutex.h"

namespace quandrel::io {

class FirstError {
 public:
  void record(IoError error) {
    MutexLock lock(mu_);
    if (!error_) error_ = std::move(error);
    recorded_.store(true, std::memory_order_relaxed);
  }
  // Call after every task has finished: their records happened before, so
  // a batch without errors, nearly every one, takes no lock here.
  Result<void> take() {
    if (!recorded_.load(std::memory_order_relaxed)) return {};
    MutexLock lock(mu_);
    recorded_.store(false, std::memory_order_relaxed);
    if (error_) return *std::exchange(error_, std::nullopt);
    return {};
  }

 private:
  Mutex mu_;
  std::optional<IoError> error_ QUANDREL_GUARDED_BY(mu_);
  std::atomic<bool> recorded_{false};
};

}  // namespace quandrel::io
