// The first error of a batch whose tasks run in parallel. Shared by the
// caller and its tasks; the mutex is held only to record.
#pragma once

#include <mutex>
#include <optional>
#include <utility>

#include "core/error.h"

namespace quandrel::io {

class FirstError {
 public:
  void record(IoError error) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!error_) error_ = std::move(error);
  }
  // Call after every task has finished.
  Result<void> take() {
    std::lock_guard<std::mutex> lock(mu_);
    if (error_) return *std::exchange(error_, std::nullopt);
    return {};
  }

 private:
  std::mutex mu_;
  std::optional<IoError> error_;
};

}  // namespace quandrel::io
