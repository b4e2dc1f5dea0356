#include "io/read/safe_copy.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>

#include <atomic>
#include <cstring>
#include <mutex>

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

// What was there before us. Written only while our handler is not in place
// (under the install mutex), read by our handler.
struct sigaction g_previous_bus;
struct sigaction g_previous_segv;

const struct sigaction& previous(int sig) {
  return sig == SIGBUS ? g_previous_bus : g_previous_segv;
}

// Hands a fault that is not ours to the handler installed before us, as
// the kernel would have: under that handler's mask, with its arguments.
void pass_on(int sig, siginfo_t* info, void* context) {
  const struct sigaction& prev = previous(sig);
  const bool sent = info == nullptr || info->si_code <= 0;  // kill/raise, not a fault
  if (!(prev.sa_flags & SA_SIGINFO) &&
      (prev.sa_handler == SIG_DFL || prev.sa_handler == SIG_IGN)) {
    if (sent && prev.sa_handler == SIG_IGN) return;
    // A fault cannot be ignored: returning re-runs the faulting instruction.
    // With the default action back in place that second fault ends the
    // process with the usual status and core file; a sent signal is resent.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    if (sent) raise(sig);
    return;
  }
  sigset_t mask = prev.sa_mask;
  if (!(prev.sa_flags & SA_NODEFER)) sigaddset(&mask, sig);
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &mask, &old);
  if (prev.sa_flags & SA_SIGINFO) {
    prev.sa_sigaction(sig, info, context);
  } else {
    prev.sa_handler(sig);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void on_fault(int sig, siginfo_t* info, void* context) {
  Guard* const guard = t_guard;
  // Only a fault the kernel raised (si_code > 0) at an address the copy in
  // progress reads: a bad destination or a stray pointer is not ours to hide.
  if (guard != nullptr && info != nullptr && info->si_code > 0) {
    const char* const addr = static_cast<const char*>(info->si_addr);
    if (addr >= guard->lo && addr < guard->hi) siglongjmp(guard->resume, 1);
  }
  pass_on(sig, info, context);
}

struct sigaction our_action() {
  struct sigaction ours {};
  ours.sa_sigaction = on_fault;
  // SA_NODEFER with an empty mask: the handler leaves by siglongjmp without
  // restoring a saved mask (saving it would cost a system call per copy), so
  // it must not block anything on entry. SA_ONSTACK: a stack overflow must
  // still reach the previous handler (faulthandler prints it from its
  // alternate stack); threads without an alternate stack use their own.
  ours.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&ours.sa_mask);
  return ours;
}

bool is_default(const struct sigaction& a) {
  return !(a.sa_flags & SA_SIGINFO) && a.sa_handler == SIG_DFL;
}

// Puts ours in place for `sig`, the current handler becoming the previous
// one; with `only_over_default`, only where the default action is back
// (faulthandler.disable() restores what it found, which removes us). Over
// any other handler that would be a loop: it may already chain to us.
void install(int sig, struct sigaction& previous, bool only_over_default) {
  struct sigaction now;
  sigaction(sig, nullptr, &now);
  if (only_over_default && !is_default(now)) return;
  previous = now;
  const struct sigaction ours = our_action();
  sigaction(sig, &ours, nullptr);
}

void install_once() {
  static const bool installed = (install(SIGBUS, g_previous_bus, false),
                                 install(SIGSEGV, g_previous_segv, false), true);
  (void)installed;
}

}  // namespace

void install_copy_fault_handler() noexcept {
  static std::mutex mutex;
  const std::lock_guard lock(mutex);
  static bool first = true;
  if (first) {
    install_once();
    first = false;
    return;
  }
  install(SIGBUS, g_previous_bus, true);
  install(SIGSEGV, g_previous_segv, true);
}

std::size_t safe_copy_many(std::span<const CopyOp> ops) noexcept {
  install_once();
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
