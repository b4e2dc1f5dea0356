#include "io/pool/pool_config.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace quandrel::io::pool {
namespace {

constexpr std::size_t kMinDefaultWorkers = 32;
constexpr std::size_t kMaxDefaultWorkers = 64;

std::optional<std::string> read_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace

// The processors this process may run on, from its affinity mask, or 0 when
// the system cannot tell. The mask is grown until it covers every processor
// the kernel knows of.
std::size_t usable_processors() {
  for (int cpus = 1024; cpus <= (1 << 22); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return 0;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    const int rc = ::sched_getaffinity(0, size, set);
    const int error = errno;
    const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (rc == 0 || error != EINVAL) return static_cast<std::size_t>(count);
  }
  return 0;
}

bool no_pool_from_env() { return parse_no_pool(read_env("QUANDREL_NO_POOL")); }

std::size_t configured_workers() {
  if (std::optional<std::size_t> n = parse_workers(read_env("QUANDREL_POOL_WORKERS"))) return *n;
  const std::size_t processors = usable_processors();
  return default_workers(processors > 0 ? std::optional(processors) : std::nullopt);
}

bool parse_no_pool(const std::optional<std::string>& value) {
  if (!value) return false;
  if (value->size() == 1) return (*value)[0] != '0';
  return !value->empty();
}

std::size_t default_workers(std::optional<std::size_t> usable_processors) {
  if (!usable_processors) return kMinDefaultWorkers;
  return std::clamp(*usable_processors, kMinDefaultWorkers, kMaxDefaultWorkers);
}

std::optional<std::size_t> parse_workers(const std::optional<std::string>& value) {
  if (!value) return std::nullopt;
  const char* first = value->data();
  const char* const last = first + value->size();
  if (first != last && *first == '+') ++first;
  // from_chars takes digits only for an unsigned type: no sign, no space, no
  // prefix. It refuses an empty string and values past 2^64 - 1.
  std::size_t n = 0;
  const auto [end, error] = std::from_chars(first, last, n);
  if (error != std::errc() || end != last || n == 0) return std::nullopt;
  return n;
}

}  // namespace quandrel::io::pool
