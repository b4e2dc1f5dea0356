#include "io/pool/run_parts.h"

#include <dirent.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

#include "core/error.h"
#include "io/pool/pool_config.h"
#include "io/pool/worker_pool.h"

namespace quandrel::io {
namespace {

// Runs body(i) for i in [0, n) as one run with n - 1 helpers.
template <class F>
void run_all(std::size_t n, F&& body) {
  run_parts(n, n > 0 ? n - 1 : 0, body);
}

// The parsing of QUANDREL_NO_POOL and QUANDREL_POOL_WORKERS, and the default.
TEST(PoolConfig, Variables) {
  for (const auto& [value, disabled] : {std::pair<std::optional<std::string>, bool>{std::nullopt, false},
                                        {"", false}, {"0", false}, {"1", true}, {"00", true}, {"no", true}}) {
    EXPECT_EQ(pool::parse_no_pool(value), disabled) << value.value_or("unset");
  }
  const std::pair<std::optional<std::string>, std::optional<std::size_t>> workers[] = {
      {"+8", 8}, {"0008", 8}, {"18446744073709551615", 18446744073709551615u},
      {std::nullopt, std::nullopt}, {"", std::nullopt}, {"+", std::nullopt}, {"+0", std::nullopt},
      {"-1", std::nullopt}, {" 8", std::nullopt}, {"0x10", std::nullopt},
      {"18446744073709551616", std::nullopt}};
  for (const auto& [value, count] : workers) EXPECT_EQ(pool::parse_workers(value), count) << value.value_or("unset");
  EXPECT_EQ(pool::default_workers(std::nullopt), 32u);
  for (auto [usable, count] : {std::pair{8, 32u}, {48, 48u}, {96, 64u}}) {
    EXPECT_EQ(pool::default_workers(usable), count) << usable;
  }
}

// The names of this process's threads, the calling one included.
std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  DIR* dir = ::opendir("/proc/self/task");
  while (const dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

std::string own_name() {
  char name[16] = {};
  ::pthread_getname_np(::pthread_self(), name, sizeof name);
  return name;
}

bool is_worker_name(const std::string& name) { return name.rfind("quandrel-io-", 0) == 0; }

// Each task writes the name of the thread it ran on, or "caller", into its slot.
std::vector<std::string> names_of_a_batch(std::size_t n) {
  std::vector<std::string> names(n);
  const std::thread::id caller = std::this_thread::get_id();
  run_all(n, [&](std::size_t i) { names[i] = std::this_thread::get_id() == caller ? "caller" : own_name(); });
  return names;
}

// Parts 0 .. n-2 finish at once; `faulty` ones throw. The last part waits for
// all others, then throws, so its fault is the last one recorded.
struct FaultyBatch {
  FaultyBatch(std::size_t count, std::set<std::size_t> which) : n(count), faulty(std::move(which)) {}
  void operator()(std::size_t i) {
    if (i + 1 == n) {
      while (finished.load() + 1 < n) std::this_thread::yield();
    }
    ++finished;
    if (!faulty.count(i)) return;
    try {
      throw Fault("part " + std::to_string(i));
    } catch (const Fault& f) {
      std::lock_guard lock(mu);
      thrown.insert(&f);
      throw;
    }
  }
  const std::size_t n;
  const std::set<std::size_t> faulty;
  std::atomic<std::size_t> finished{0};
  std::mutex mu;
  std::set<const Fault*> thrown;
};

// An empty batch reads nothing, so the variables set after it still count.
void pool_of_32() {
  run_all(0, [](std::size_t) {});
  EXPECT_EQ(thread_names().size(), 1u);
  ::unsetenv("QUANDREL_NO_POOL");
  ::setenv("QUANDREL_POOL_WORKERS", "32", 1);
  ASSERT_FALSE(pool::disabled());
  ASSERT_EQ(pool::worker_count(), 32u);
  std::multiset<std::string> names;
  for (const std::string& name : thread_names()) if (is_worker_name(name)) names.insert(name);
  std::multiset<std::string> expected;
  for (int i = 0; i < 32; ++i) expected.insert("quandrel-io-" + std::to_string(i));
  EXPECT_EQ(names, expected);

  // The caller takes part: one task runs on it, and a batch larger than the
  // pool waits for free workers instead of starting threads of its own.
  EXPECT_EQ(names_of_a_batch(1), std::vector<std::string>{"caller"});
  for (std::size_t n : {32, 33, 200}) {
    for (const std::string& name : names_of_a_batch(n)) {
      EXPECT_TRUE(is_worker_name(name) || name == "caller") << name;
    }
  }

  // The caller gets a task's own fault, also from the last task to finish.
  for (const std::set<std::size_t>& faulty : {std::set<std::size_t>{31}, {3, 17, 31}}) {
    FaultyBatch batch(32, faulty);
    try {
      run_all(32, batch);
      ADD_FAILURE() << "no fault";
    } catch (const Fault& f) {
      EXPECT_EQ(batch.finished.load(), 32u);
      EXPECT_TRUE(batch.thrown.count(&f)) << "not the object thrown: " << f.what();
    }
  }
}

void switched_off() {
  EXPECT_TRUE(pool::disabled());
  EXPECT_EQ(pool::worker_count(), std::nullopt);
  for (const std::string& name : names_of_a_batch(3)) EXPECT_FALSE(is_worker_name(name)) << name;
  FaultyBatch batch(2, {0});
  EXPECT_THROW(run_all(2, batch), Fault);
  for (const std::string& name : thread_names()) EXPECT_FALSE(is_worker_name(name)) << name;
}

void capacity_overflow_is_retried() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool ran = false;
    try {
      run_all(2, [&](std::size_t) { ran = true; });
      ADD_FAILURE() << "no fault";
    } catch (const Fault& f) {
      EXPECT_STREQ(f.what(), "capacity overflow");
    }
    EXPECT_FALSE(ran);
    // Read once: a later value changes nothing.
    ::setenv("QUANDREL_POOL_WORKERS", "2", 1);
  }
}

// A child forked while its parent creates, or has, a pool must make its own.
[[maybe_unused]] void forked_child_makes_its_own_pool() {
  std::thread creator([] { names_of_a_batch(2); });
  while (thread_names().size() < 4) std::this_thread::yield();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(20);
    ::setenv("QUANDREL_POOL_WORKERS", "3", 1);
    // Two tasks that wait for each other meet only on two threads: with the
    // parent's workers gone, the caller would run them one after the other.
    std::atomic<int> arrived{0};
    std::atomic<bool> met{true};
    run_all(2, [&](std::size_t) {
      ++arrived;
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (arrived.load() < 2) {
        if (std::chrono::steady_clock::now() > until) return met.store(false);
        std::this_thread::yield();
      }
    });
    // 1: the batch ran on one thread; 2: the parent's worker count.
    ::_exit((met.load() ? 0 : 1) | (pool::worker_count() == 200u ? 0 : 2));
  }
  creator.join();
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  EXPECT_EQ(pool::worker_count(), 200u);
}

// Room in the address space for `extra` more bytes: thread stacks (8 MiB
// each by default) stop fitting once it is full.
void limit_address_space(rlimit& old, std::uint64_t extra) {
  ::getrlimit(RLIMIT_AS, &old);
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line) && line.rfind("VmSize:", 0) != 0) {}
  rlimit tight = old;
  tight.rlim_cur = (std::strtoull(line.c_str() + 7, nullptr, 10) << 10) + extra;
  ASSERT_EQ(::setrlimit(RLIMIT_AS, &tight), 0);
}

// A batch whose parts all run, wherever they run.
void batch_runs_whole() {
  std::atomic<int> ran{0};
  run_all(8, [&](std::size_t) { ++ran; });
  EXPECT_EQ(ran.load(), 8);
}

// Room for a few of the 64 workers asked for: they make a smaller pool that
// serves every later batch. Room for none: no pool, and the caller runs every
// task itself.
[[maybe_unused]] void room_for_threads(bool some) {
  rlimit old{};
  limit_address_space(old, some ? 40 << 20 : 1 << 20);
  batch_runs_whole();
  const std::optional<std::size_t> workers = pool::worker_count();
  ASSERT_EQ(workers.has_value(), some);
  if (some) {
    EXPECT_TRUE(*workers >= 1 && *workers < 64) << *workers;
  }
  batch_runs_whole();
  ASSERT_EQ(::setrlimit(RLIMIT_AS, &old), 0);
  if (some) {
    EXPECT_EQ(pool::worker_count(), workers);
  }
}

// Each case needs a process whose pool has not started, which this one cannot
// promise once any test has run a batch. So each runs in a death test's
// child, a new run of this binary, which sets the case's variables before
// its first batch reads them.
struct FreshCase {
  const char* name;
  std::vector<std::pair<const char*, const char*>> env;
  void (*body)();
};

const FreshCase kFreshCases[] = {
    {"PoolOf32", {{"QUANDREL_NO_POOL", "1"}, {"QUANDREL_POOL_WORKERS", "1"}}, pool_of_32},
    {"SwitchedOff", {{"QUANDREL_NO_POOL", "1"}, {"QUANDREL_POOL_WORKERS", "4"}}, switched_off},
    {"CapacityOverflow", {{"QUANDREL_POOL_WORKERS", "18446744073709551615"}}, capacity_overflow_is_retried},
#ifndef __SANITIZE_ADDRESS__
    // That sanitizer's allocator can stay locked in a child forked while other
    // threads allocate.
    {"Fork", {{"QUANDREL_POOL_WORKERS", "200"}}, forked_child_makes_its_own_pool},
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Sanitizers reserve more address space than any tight limit allows.
    {"RoomForSomeThreads", {{"QUANDREL_POOL_WORKERS", "64"}}, [] { room_for_threads(true); }},
    {"RoomForNoThread", {{"QUANDREL_POOL_WORKERS", "64"}}, [] { room_for_threads(false); }},
#endif
};

void PrintTo(const FreshCase& c, std::ostream* os) { *os << c.name; }

// The death test's child: the child reports nothing of its own, so the case's
// failures are collected and shown on its stderr.
[[noreturn]] void run_in_this_process(const FreshCase& c) {
  ::alarm(120);  // a hang becomes a failure
  for (const char* name : {"QUANDREL_NO_POOL", "QUANDREL_POOL_WORKERS"}) ::unsetenv(name);
  for (const auto& [name, value] : c.env) ::setenv(name, value, 1);
  testing::TestPartResultArray failures;
  {
    testing::ScopedFakeTestPartResultReporter collect(
        testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &failures);
    c.body();
  }
  for (int i = 0; i < failures.size(); ++i) std::cerr << failures.GetTestPartResult(i) << "\n";
  ::_exit(failures.size() == 0 ? 0 : 1);
}

class PoolInFreshProcess : public testing::TestWithParam<FreshCase> {};

TEST_P(PoolInFreshProcess, Runs) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
#if defined(__SANITIZE_THREAD__)
  // The fork case's child starts threads, which the thread sanitizer, reading
  // its options as the process starts, must be told to allow.
  const char* options = std::getenv("TSAN_OPTIONS");
  ::setenv("TSAN_OPTIONS", (std::string(options ? options : "") + ":die_after_fork=0").c_str(), 1);
#endif
  EXPECT_EXIT(run_in_this_process(GetParam()), testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, PoolInFreshProcess, testing::ValuesIn(kFreshCases),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace quandrel::io
