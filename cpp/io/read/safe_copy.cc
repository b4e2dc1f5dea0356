#include "io/read/safe_copy.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>

namespace quandrel::io {
namespace {

// The copy in progress on this thread: where to resume, and which source
// bytes it may fault on. Lives on the copying thread's stack.
struct Guard {
  sigjmp_buf resume;
  const char* volatile lo = nullptr;
  const char* volatile hi = nullptr;
};

// Initial-exec, so that the handler reads it with one load and never calls
// into the dynamic loader (which is not async-signal-safe), also on threads
// that have never copied.
__attribute__((tls_model("initial-exec"))) thread_local Guard* t_guard = nullptr;

// A handler installed over ours keeps ours as the one it chains to, and may
// call it (or restore it and raise again) with a fault that is not ours. That
// fault must then go on to what was behind ours when that handler was
// installed, not to that handler again. So each time ours is put in front it
// is a different entry point: entry k hands on to g_behind[k], what it was
// put in front of, and an older entry restored by a handler that steps aside
// (faulthandler.disable()) still hands on to what was behind it then.
constexpr std::size_t kEntries = 64;
constexpr std::size_t kNone = kEntries;

// Written under g_mutex before entry k is installed; read by the handler.
struct sigaction g_behind[kEntries];
// The entry last seen or put in front.
std::atomic<std::size_t> g_front{kNone};
// Every entry used up by handlers stacked over ours without one stepping
// aside: our place in front can no longer be taken safely, so copies refuse
// and callers read with pread instead.
std::atomic<bool> g_out_of_entries{false};
std::mutex g_mutex;

void reset_to_default(int sig) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
}

// Ends the process as the default action would, with its status and core
// file: a fault re-runs its instruction when the handler returns, and meets
// the default action then; a sent signal is sent again.
void take_default_action(int sig, bool sent) {
  reset_to_default(sig);
  if (sent) raise(sig);
}

// Hands a fault that is not ours to `to`, as the kernel would have if `to`
// had been installed in our place.
void hand_on(const struct sigaction& to, int sig, siginfo_t* info, void* context) {
  const bool sent = info == nullptr || info->si_code <= 0;  // kill/raise, not a fault
  if (!(to.sa_flags & SA_SIGINFO) && (to.sa_handler == SIG_DFL || to.sa_handler == SIG_IGN)) {
    // A fault cannot be ignored: the kernel kills the process instead.
    if (!(sent && to.sa_handler == SIG_IGN)) take_default_action(sig, sent);
    return;
  }
  if (to.sa_flags & SA_RESETHAND) {
    // A one-shot handler: the kernel resets the disposition before running
    // it, so that the same fault, once it returns, ends the process.
    reset_to_default(sig);
  }
  sigset_t mask = to.sa_mask;
  if (!(to.sa_flags & SA_NODEFER)) sigaddset(&mask, sig);
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &mask, &old);
  if (to.sa_flags & SA_SIGINFO) {
    to.sa_sigaction(sig, info, context);
  } else {
    to.sa_handler(sig);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void on_fault(std::size_t entry, int sig, siginfo_t* info, void* context) {
  Guard* const guard = t_guard;
  // Only a fault the kernel raised (si_code > 0) at an address the copy in
  // progress reads: a bad destination or a stray pointer is not ours to hide.
  if (guard != nullptr && info != nullptr && info->si_code > 0) {
    const char* const addr = static_cast<const char*>(info->si_addr);
    if (addr >= guard->lo && addr < guard->hi) siglongjmp(guard->resume, 1);
  }
  hand_on(g_behind[entry], sig, info, context);
}

template <std::size_t K>
void entry_point(int sig, siginfo_t* info, void* context) {
  on_fault(K, sig, info, context);
}

template <std::size_t... K>
constexpr std::array<void (*)(int, siginfo_t*, void*), sizeof...(K)> entry_points(
    std::index_sequence<K...>) {
  return {&entry_point<K>...};
}

constexpr auto kEntryPoints = entry_points(std::make_index_sequence<kEntries>{});

// Which of our entries `a` is, or kNone.
std::size_t entry_of(const struct sigaction& a) {
  if (!(a.sa_flags & SA_SIGINFO)) return kNone;
  for (std::size_t k = 0; k < kEntries; ++k) {
    if (a.sa_sigaction == kEntryPoints[k]) return k;
  }
  return kNone;
}

// Whether one of our entries is in front, noting which.
bool ours_in_front() {
  struct sigaction now;
  if (sigaction(SIGBUS, nullptr, &now) != 0) return true;  // cannot happen for SIGBUS
  const std::size_t k = entry_of(now);
  if (k == kNone) return false;
  g_front.store(k, std::memory_order_relaxed);
  return true;
}

void take_front() {
  const std::lock_guard lock(g_mutex);
  struct sigaction now;
  if (sigaction(SIGBUS, nullptr, &now) != 0) return;
  if (const std::size_t k = entry_of(now); k != kNone) {
    g_front.store(k, std::memory_order_relaxed);
    return;
  }
  // The handler in front found ours (the entry last in front) there when it
  // was installed, or none of ours: the next entry is one nothing chains to.
  const std::size_t front = g_front.load(std::memory_order_relaxed);
  const std::size_t next = front == kNone ? 0 : front + 1;
  if (next == kEntries) {
    g_out_of_entries.store(true, std::memory_order_relaxed);
    return;
  }
  g_behind[next] = now;
  struct sigaction ours {};
  ours.sa_sigaction = kEntryPoints[next];
  // SA_NODEFER with an empty mask: the handler leaves by siglongjmp without
  // restoring a saved mask (saving it would cost a system call per copy), so
  // it must not block anything on entry. SA_ONSTACK: a stack overflow must
  // still reach the program's handler (faulthandler prints it from its
  // alternate stack); threads without an alternate stack use their own.
  ours.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&ours.sa_mask);
  sigaction(SIGBUS, &ours, nullptr);
  g_front.store(next, std::memory_order_relaxed);
}

}  // namespace

void keep_copy_fault_handler_first() noexcept {
  if (!ours_in_front()) take_front();
}

std::size_t safe_copy_many(std::span<const CopyOp> ops) noexcept {
  if (g_front.load(std::memory_order_relaxed) == kNone) keep_copy_fault_handler_first();
  if (g_out_of_entries.load(std::memory_order_relaxed)) return 0;
  Guard guard;
  volatile std::size_t i = 0;  // read after the jump back
  if (sigsetjmp(guard.resume, 0) != 0) {
    t_guard = nullptr;
    return i;
  }
  t_guard = &guard;
  for (std::size_t k = 0; k < ops.size(); ++k) {
    i = k;
    const CopyOp& op = ops[k];
    if (op.n == 0) continue;
    guard.lo = static_cast<const char*>(op.src);
    guard.hi = guard.lo + op.n;
    // Keeps the copy's loads between the guard's set-up and its removal.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::memcpy(op.dst, op.src, op.n);
    std::atomic_signal_fence(std::memory_order_seq_cst);
  }
  t_guard = nullptr;
  return ops.size();
}

}  // namespace quandrel::io
