// The process-wide pool of reader threads, and the parallel runs through
// which the store's gather and the view's record reads use it.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
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

// Calls body(i) once for every i in [0, parts) and returns when every call
// has returned. The calling thread takes part; up to `helpers` more threads
// join it: workers of the process-wide pool when there is one (a run asking
// for more waits in the pool's queue rather than starting threads), else
// threads of the run's own. Parts are handed out one at a time, in order, to
// whichever thread is free, so a slow part does not hold up the others.
//
// Calls report ordinary errors through state they share with the caller and
// throw only on a fault. All parts run whatever the others do; then the
// first fault recorded is rethrown unchanged. A helper thread that cannot be
// started only leaves more parts to the others.
//
// No allocation on the pool path: the run lives on the caller's stack, which
// is why `body` may borrow whatever the caller owns. A call must not start
// another run.
template <class F>
void run_parts(std::size_t parts, std::size_t helpers, F&& body);

// Runs every task exactly once, in parallel, as run_parts with one part per
// task and as many helpers as tasks, and returns only when every task has
// finished and been destroyed, also when one throws. So tasks may borrow
// memory that the caller owns and leaves alone until the call returns.
// A task must not call scope_run.
void scope_run(std::vector<Task> tasks);

namespace detail {
using PartFn = void (*)(void* context, std::size_t part);
void run_parts(std::size_t parts, std::size_t helpers, PartFn fn, void* context);
}  // namespace detail

template <class F>
void run_parts(std::size_t parts, std::size_t helpers, F&& body) {
  using Body = std::remove_reference_t<F>;
  detail::run_parts(
      parts, helpers, [](void* b, std::size_t i) { (*static_cast<Body*>(b))(i); },
      const_cast<void*>(static_cast<const void*>(std::addressof(body))));
}

namespace pool {

// QUANDREL_NO_POOL, read once per process: set to anything but "" or "0".
bool disabled();

// The number of workers the pool has, creating it on first use, or nullopt
// when there is no pool (switched off, or not one worker could start). Throws the fault
// "capacity overflow" when the configured count cannot be held.
std::optional<std::size_t> worker_count();

// The parsing rules of the two variables, exposed for tests. `value` is the
// raw value, nullopt when unset.
bool parse_no_pool(const std::optional<std::string>& value);
std::size_t default_workers(std::optional<std::size_t> usable_processors);
std::optional<std::size_t> parse_workers(const std::optional<std::string>& value);

}  // namespace pool
}  // namespace quandrel::io
