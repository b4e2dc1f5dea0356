// A mutex whose users clang's -Wthread-safety can check: what it guards is
// declared with QUANDREL_GUARDED_BY, and every access outside a lock of it
// is a compile error in the clang build (tests/run_sanitizers.sh tsa).
// Other compilers see plain std::mutex.
#pragma once

#include <mutex>

#if defined(__clang__)
#define QUANDREL_TSA(x) __attribute__((x))
#else
#define QUANDREL_TSA(x)
#endif

#define QUANDREL_CAPABILITY(name) QUANDREL_TSA(capability(name))
#define QUANDREL_SCOPED_CAPABILITY QUANDREL_TSA(scoped_lockable)
#define QUANDREL_GUARDED_BY(mu) QUANDREL_TSA(guarded_by(mu))
#define QUANDREL_PT_GUARDED_BY(mu) QUANDREL_TSA(pt_guarded_by(mu))
#define QUANDREL_ACQUIRE(...) QUANDREL_TSA(acquire_capability(__VA_ARGS__))
#define QUANDREL_RELEASE(...) QUANDREL_TSA(release_capability(__VA_ARGS__))
#define QUANDREL_REQUIRES(...) QUANDREL_TSA(requires_capability(__VA_ARGS__))
#define QUANDREL_NO_THREAD_SAFETY_ANALYSIS QUANDREL_TSA(no_thread_safety_analysis)

namespace quandrel {

class QUANDREL_CAPABILITY("mutex") Mutex {
 public:
  constexpr Mutex() = default;
  void lock() QUANDREL_ACQUIRE() { mu_.lock(); }
  void unlock() QUANDREL_RELEASE() { mu_.unlock(); }
  std::mutex& native() { return mu_; }

 private:
  std::mutex mu_;
};

// Holds `mu` for its lifetime; unlock() and lock() let it go and take it
// back in between. unique() is for condition variables, whose waits give the
// mutex up and hold it again when they return.
class QUANDREL_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) QUANDREL_ACQUIRE(mu) : lock_(mu.native()) {}
  ~MutexLock() QUANDREL_RELEASE() {}
  void unlock() QUANDREL_RELEASE() { lock_.unlock(); }
  void lock() QUANDREL_ACQUIRE() { lock_.lock(); }
  std::unique_lock<std::mutex>& unique() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace quandrel
