#include "io/async/async_read.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <string>
#include <thread>

namespace quandrel::io {

AsyncRead::AsyncRead(std::size_t items, std::size_t chunk_items, ChunkFn read)
    : items_(items), chunk_items_(chunk_items == 0 ? 1 : chunk_items), read_(std::move(read)) {}

void AsyncRead::run() noexcept {
  {
    std::lock_guard lock(mu_);
    if (ended_) return;  // cancelled while queued
    started_ = true;
  }
  Outcome outcome = Outcome::kOk;
  try {
    for (std::size_t first = 0; first < items_; first += chunk_items_) {
      {
        std::lock_guard lock(mu_);
        if (cancel_asked_) break;
      }
      Result<void> r = read_(first, std::min(items_, first + chunk_items_));
      if (!r) {
        error_ = r.error();
        outcome = Outcome::kFailed;
        break;
      }
    }
  } catch (...) {
    fault_ = std::current_exception();
    outcome = Outcome::kFaulted;
  }
  finish(outcome);
}

void AsyncRead::finish(Outcome outcome) {
  std::uint64_t token = 0;
  {
    std::lock_guard lock(mu_);
    // A cancel that came in time wins over how the last chunk went: its
    // caller was told the read would end cancelled.
    outcome_ = cancel_asked_ ? Outcome::kCancelled : outcome;
    ended_ = true;
    token = token_;
  }
  ended_cv_.notify_all();
  if (token != 0) completions().post(token);
}

bool AsyncRead::done() const {
  std::lock_guard lock(mu_);
  return ended_;
}

bool AsyncRead::wait(std::optional<std::chrono::nanoseconds> timeout) const {
  std::unique_lock lock(mu_);
  if (!timeout) {
    ended_cv_.wait(lock, [&] { return ended_; });
    return true;
  }
  if (timeout->count() <= 0) return ended_;
  return ended_cv_.wait_for(lock, *timeout, [&] { return ended_; });
}

bool AsyncRead::cancel() {
  std::uint64_t token = 0;
  {
    std::lock_guard lock(mu_);
    if (ended_) return outcome_ == Outcome::kCancelled;
    cancel_asked_ = true;
    if (started_) return true;  // ends cancelled once the running chunk is done
    // Never started: nothing can write any more, so it ends here.
    outcome_ = Outcome::kCancelled;
    ended_ = true;
    token = token_;
  }
  ended_cv_.notify_all();
  if (token != 0) completions().post(token);
  return true;
}

bool AsyncRead::notify_on_end(std::uint64_t token) {
  std::lock_guard lock(mu_);
  if (ended_) return false;
  token_ = token;
  return true;
}

AsyncRead::Outcome AsyncRead::outcome() const {
  std::lock_guard lock(mu_);
  return outcome_;
}

ReadsInFlight::~ReadsInFlight() {
  for (const auto& read : reads_) read->cancel();
  for (const auto& read : reads_) read->wait(std::nullopt);
}

void ReadsInFlight::add(std::shared_ptr<AsyncRead> read) {
  std::lock_guard lock(mu_);
  std::erase_if(reads_, [](const auto& r) { return r->done(); });
  reads_.push_back(std::move(read));
}

namespace {

// Threads that run queued reads. Each read runs its chunks with the store's
// or view's own parallelism (pool helpers included), so a few threads keep
// many reads in flight; more would only contend for the same cores.
constexpr std::size_t kAsyncThreads = 8;

// Never destroyed: its threads run until the process ends, and a read still
// queued at exit must find its queue.
class Engine {
 public:
  void push(std::shared_ptr<AsyncRead> read) {
    {
      std::lock_guard lock(mu_);
      queue_.push_back(std::move(read));
      if (idle_ == 0 && started_ < kAsyncThreads) start_thread();
    }
    cv_.notify_one();
  }

 private:
  // With mu_ held. A thread that cannot start leaves the queue to the others;
  // with none at all, the read runs on the caller rather than never.
  void start_thread() {
    try {
      std::thread t([this, index = started_] { loop(index); });
      t.detach();
      ++started_;
      ++idle_;
    } catch (const std::system_error&) {
      if (started_ > 0) return;
      std::shared_ptr<AsyncRead> read = std::move(queue_.back());
      queue_.pop_back();
      read->run();
    }
  }

  void loop(std::size_t index) {
    const std::string name = "quandrel-async-" + std::to_string(index);
    (void)::pthread_setname_np(::pthread_self(), name.c_str());
    std::unique_lock lock(mu_);
    for (;;) {
      cv_.wait(lock, [&] { return !queue_.empty(); });
      std::shared_ptr<AsyncRead> read = std::move(queue_.front());
      queue_.pop_front();
      --idle_;
      lock.unlock();
      read->run();
      read.reset();  // the last reference may go here: drop it outside the lock
      lock.lock();
      ++idle_;
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<AsyncRead>> queue_;
  std::size_t started_ = 0;
  std::size_t idle_ = 0;
};

class CompletionState {
 public:
  CompletionState() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  int fd() const { return fd_; }

  void post(std::uint64_t token) {
    std::lock_guard lock(mu_);
    tokens_.push_back(token);
    if (tokens_.size() == 1 && fd_ >= 0) {
      const std::uint64_t one = 1;
      while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
      }
    }
  }

  std::vector<std::uint64_t> drain() {
    std::lock_guard lock(mu_);
    std::uint64_t count = 0;
    while (fd_ >= 0 && ::read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
    return std::exchange(tokens_, {});
  }

 private:
  const int fd_;
  std::mutex mu_;
  std::vector<std::uint64_t> tokens_;
};

// Both are replaced in a forked child: the parent's threads do not exist
// there, and the parent's eventfd is shared with it. What the parent left is
// never destroyed (a mutex may have been held by a thread that is gone).
std::atomic<Engine*> g_engine{nullptr};
std::atomic<CompletionState*> g_completions{nullptr};
std::mutex g_create_mu;  // serialises creation only

void after_fork_in_child() {
  g_engine.store(nullptr);
  g_completions.store(nullptr);
  new (&g_create_mu) std::mutex;
}

template <class T>
T& lazily(std::atomic<T*>& slot) {
  if (T* p = slot.load(std::memory_order_acquire)) return *p;
  static const int fork_handler = ::pthread_atfork(nullptr, nullptr, after_fork_in_child);
  (void)fork_handler;
  std::lock_guard lock(g_create_mu);
  if (T* p = slot.load(std::memory_order_acquire)) return *p;
  T* p = new T;
  slot.store(p, std::memory_order_release);
  return *p;
}

std::atomic<std::int64_t> g_small_read_ns{0};

}  // namespace

void start_async(std::shared_ptr<AsyncRead> read) { lazily(g_engine).push(std::move(read)); }

int Completions::fd() { return lazily(g_completions).fd(); }
void Completions::post(std::uint64_t token) { lazily(g_completions).post(token); }
std::vector<std::uint64_t> Completions::drain() { return lazily(g_completions).drain(); }

Completions& completions() {
  static Completions c;  // stateless: the state is in g_completions
  return c;
}

bool SmallReadHint::hot() {
  return g_small_read_ns.load(std::memory_order_relaxed) <= kHot.count();
}

void SmallReadHint::record(std::chrono::nanoseconds took) {
  g_small_read_ns.store(took.count(), std::memory_order_relaxed);
}

}  // namespace quandrel::io
