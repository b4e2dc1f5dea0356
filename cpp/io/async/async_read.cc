#include "io/async/async_read.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <string>
#include <thread>

namespace quandrel::io {

AsyncRead::AsyncRead(std::size_t items, std::size_t chunk_items, ChunkFn read)
    : items_(items), chunk_items_(chunk_items == 0 ? 1 : chunk_items), read_(std::move(read)) {}

AsyncRead::AsyncRead(std::size_t items, std::size_t chunk_items, ChunkFn read, Together together)
    : items_(items),
      chunk_items_(chunk_items == 0 ? 1 : chunk_items),
      read_(std::move(read)),
      together_(std::move(together)) {}

std::shared_ptr<AsyncRead> AsyncRead::ended(Result<void> result, std::exception_ptr fault) {
  auto read = std::make_shared<AsyncRead>(0, 1, ChunkFn());
  read->started_ = read->ended_ = true;
  if (fault) {
    read->fault_ = std::move(fault);
    read->outcome_ = Outcome::kFaulted;
  } else if (!result) {
    read->error_ = result.error();
    read->outcome_ = Outcome::kFailed;
  } else {
    read->outcome_ = Outcome::kOk;
  }
  return read;
}

void AsyncRead::run() noexcept {
  if (claim()) run_claimed();
}

bool AsyncRead::claim() {
  std::lock_guard lock(mu_);
  if (ended_) return false;  // cancelled while queued
  started_ = true;
  return true;
}

namespace {

// Items of one batch of reads run together: enough for the device to have
// many reads in flight, few enough that the first of them is not kept
// waiting long for the last.
constexpr std::size_t kTogetherItems = 2048;

}  // namespace

bool AsyncRead::may_join(const void*& source, std::size_t& items) const {
  // A read of several chunks is large enough to keep the device busy alone,
  // and a cancel must be able to stop it between chunks.
  if (!together_ || items_ == 0 || items_ > chunk_items_ || items + items_ > kTogetherItems) return false;
  if (source != nullptr && source != together_->source) return false;
  source = together_->source;
  items += items_;
  return true;
}

void AsyncRead::run_together(std::span<const std::shared_ptr<AsyncRead>> reads) noexcept {
  std::vector<AsyncRead*> claimed;
  std::vector<ItemsInto> items;
  try {
    claimed.reserve(reads.size());
    items.reserve(reads.size());
    for (const auto& r : reads) {
      if (r->claim()) claimed.push_back(r.get());
    }
    for (AsyncRead* r : claimed) items.push_back(r->together_->items);
  } catch (...) {  // no memory for the lists: each alone, then
    for (const auto& r : reads) r->run();
    return;
  }
  bool read_well = false;
  if (claimed.size() > 1) {
    try {
      read_well = static_cast<bool>(claimed.front()->together_->read(items));
    } catch (...) {
    }
  }
  for (AsyncRead* r : claimed) {
    if (read_well) {
      r->finish(Outcome::kOk);
    } else {
      r->run_claimed();
    }
  }
}

void AsyncRead::run_claimed() noexcept {
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
    std::vector<std::shared_ptr<AsyncRead>> reads;
    reads.reserve(kTogetherItems);  // a read of the batch has one item at least
    std::unique_lock lock(mu_);
    for (;;) {
      cv_.wait(lock, [&] { return !queue_.empty(); });
      take(reads);
      --idle_;
      lock.unlock();
      if (reads.size() == 1) {
        reads.front()->run();
      } else {
        AsyncRead::run_together(reads);
      }
      reads.clear();  // the last references may go here: drop them outside the lock
      lock.lock();
      ++idle_;
    }
  }

  // With mu_ held: the first queued read, and the reads of its source queued
  // right after it that may run in one batch with it. Reads wait in the
  // queue only while every thread is busy, so a read that finds a thread
  // idle runs alone and at once.
  void take(std::vector<std::shared_ptr<AsyncRead>>& reads) {
    auto next = [&] {
      reads.push_back(std::move(queue_.front()));  // within the capacity reserved
      queue_.pop_front();
    };
    next();
    const void* source = nullptr;
    std::size_t items = 0;
    if (!reads.front()->may_join(source, items)) return;
    while (!queue_.empty() && queue_.front()->may_join(source, items)) next();
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

std::atomic<std::int64_t> g_small_read_ns[2] = {0, 0};
std::atomic<std::size_t> g_small_read_next{0};

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
  return std::min(g_small_read_ns[0].load(std::memory_order_relaxed),
                  g_small_read_ns[1].load(std::memory_order_relaxed)) <= kHot.count();
}

void SmallReadHint::record(std::chrono::nanoseconds took) {
  // Reads on several threads may interleave here: the two kept are then two
  // recent ones, which serves as well.
  const std::size_t next = g_small_read_next.fetch_add(1, std::memory_order_relaxed) & 1;
  g_small_read_ns[next].store(took.count(), std::memory_order_relaxed);
}

}  // namespace quandrel::io
