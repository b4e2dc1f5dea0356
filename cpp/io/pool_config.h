// What the environment says about the pool. Internal to the IO library.
#pragma once

#include <cstddef>

namespace quandrel::io::pool {

// The processors this process may run on, from its affinity mask, or 0 when
// the system cannot tell.
std::size_t usable_processors();

// QUANDREL_NO_POOL, read now.
bool no_pool_from_env();

// QUANDREL_POOL_WORKERS when it is valid, else the default for the
// processors this process may run on. Read now.
std::size_t configured_workers();

}  // namespace quandrel::io::pool
