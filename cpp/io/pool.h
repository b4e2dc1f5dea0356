// The process-wide pool of reader threads, and `scope_run`, through which the
// store's gather and the view's record reads run their tasks in parallel.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quandrel::io {

// A one-shot callable without arguments or result, movable to another thread.
// Running it consumes it.
class Task {
 public:
  Task() = default;
  template <class F>
  explicit Task(F f) : impl_(std::make_unique<Impl<F>>(std::move(f))) {}

  explicit operator bool() const { return impl_ != nullptr; }
  // Runs the callable and destroys it, also when it throws.
  void run() {
    std::unique_ptr<Base> impl = std::move(impl_);
    impl->run();
  }

 private:
  struct Base {
    virtual ~Base() = default;
    virtual void run() = 0;
  };
  template <class F>
  struct Impl final : Base {
    explicit Impl(F fn) : f(std::move(fn)) {}
    void run() override { f(); }
    F f;
  };
  std::unique_ptr<Base> impl_;
};

// Runs every task exactly once, in parallel, and returns only when every task
// has finished and been destroyed, also when it throws. So tasks may borrow
// memory that the caller owns and leaves alone until the call returns.
//
// A task reports ordinary errors through state it shares with the caller and
// throws only on a fault. All tasks run to the end whatever the others do;
// then, on the pool, the first fault recorded is rethrown unchanged; on
// threads of its own (pool off, absent, or smaller than the batch) any fault
// becomes Fault("a scoped thread panicked"). A thread that cannot be created
// gives Fault("failed to spawn thread: <os error>").
//
// A task must not call scope_run.
void scope_run(std::vector<Task> tasks);

namespace pool {

// QUANDREL_NO_POOL, read once per process: set to anything but "" or "0".
bool disabled();

// The number of workers the pool has, creating it on first use, or nullopt
// when there is no pool (switched off, or creation failed). Throws the fault
// "capacity overflow" when the configured count cannot be held.
std::optional<std::size_t> worker_count();

// The parsing rules of the two variables, exposed for tests. `value` is the
// raw value, nullopt when unset.
bool parse_no_pool(const std::optional<std::string>& value);
std::size_t default_workers(std::optional<std::size_t> usable_processors);
std::optional<std::size_t> parse_workers(const std::optional<std::string>& value);

}  // namespace pool
}  // namespace quandrel::io
