// The first error of a batch whose tasks run in parallel. Shared by the
// caller and its tasks; the mutex is held only to record.
#pragma once

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
  }
  // Call after every task has finished.
  Result<void> take() {
    MutexLock lock(mu_);
    if (error_) return *std::exchange(error_, std::nullopt);
    return {};
  }

 private:
  Mutex mu_;
  std::optional<IoError> error_ QUANDREL_GUARDED_BY(mu_);
};

}  // namespace quandrel::io
