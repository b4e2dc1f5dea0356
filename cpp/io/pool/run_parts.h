// Parallel runs over the process-wide pool of reader threads: the store's
// row reads and the view's record reads both go through run_parts.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

namespace quandrel::io {

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

}  // namespace quandrel::io
