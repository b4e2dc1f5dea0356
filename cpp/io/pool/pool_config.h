// What the environment says about the pool. Internal to the IO library.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace quandrel::io::pool {

// The processors this process may run on, from its affinity mask, or 0 when
// the system cannot tell.
std::size_t usable_processors();

// QUANDREL_NO_POOL, read now.
bool no_pool_from_env();

// QUANDREL_POOL_WORKERS when it is valid, else the default for the
// processors this process may run on. Read now.
std::size_t configured_workers();

// The parsing rules of the two variables. `value` is the raw value, nullopt
// when unset.
bool parse_no_pool(const std::optional<std::string>& value);
std::size_t default_workers(std::optional<std::size_t> usable_processors);
std::optional<std::size_t> parse_workers(const std::optional<std::string>& value);

}  // namespace quandrel::io::pool
