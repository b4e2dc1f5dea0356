#include "io/read/uring_reads.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "io/pool/pool_config.h"

#if QUANDREL_HAVE_LIBURING
#include <liburing.h>
#endif

namespace quandrel::io {
namespace {

std::optional<std::string> env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

#if QUANDREL_HAVE_LIBURING

// Rings are made for one thread that submits and waits itself: completions
// then run only when it asks for them, not as interruptions of its work.
// Kernels before 6.1 refuse those flags; a plain ring serves them.
int make_ring(io_uring& ring, unsigned entries) {
  const int rc = io_uring_queue_init(entries, &ring, IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN);
  if (rc != -EINVAL) return rc;
  return io_uring_queue_init(entries, &ring, 0);
}

bool transient(int rc) { return rc == -EINTR || rc == -EAGAIN || rc == -EBUSY; }

// A ring and a no-op through it: a sandbox may allow making a ring and
// refuse submitting to it.
std::string uring_refusal() {
  io_uring ring;
  int rc = make_ring(ring, 8);
  if (rc < 0) return std::string("io_uring_setup: ") + std::strerror(-rc);
  io_uring_prep_nop(io_uring_get_sqe(&ring));
  do {
    rc = io_uring_submit_and_wait(&ring, 1);
  } while (transient(rc));
  io_uring_queue_exit(&ring);
  return rc < 0 ? std::string("io_uring_enter: ") + std::strerror(-rc) : std::string();
}

// This thread's ring, made on its first cold read. A forked child inherits
// its parent's ring, shared with the parent: it makes its own.
struct ThreadRing {
  io_uring ring{};
  pid_t pid = 0;  // the process that made it; 0 when there is none
  bool broken = false;

  ~ThreadRing() { drop(); }
  void drop() {
    if (pid != 0) io_uring_queue_exit(&ring);  // in a child: its own copy of the mapping and descriptor
    pid = 0;
  }
  io_uring* get() {
    if (broken) return nullptr;
    const pid_t self = ::getpid();
    if (pid == self) return &ring;
    drop();
    if (make_ring(ring, kUringDepth) < 0) {
      broken = true;  // out of memory or of rings: the pool serves this thread
      return nullptr;
    }
    pid = self;
    return &ring;
  }
};

thread_local ThreadRing t_ring;

#endif

ColdReadEngine decide() {
  if (pool::parse_no_pool(env("QUANDREL_NO_IO_URING"))) {
    return {false, "pool", "QUANDREL_NO_IO_URING is set"};
  }
#if QUANDREL_HAVE_LIBURING
  std::string refusal = uring_refusal();
  if (!refusal.empty()) return {false, "pool", std::move(refusal)};
  return {true, "io_uring", ""};
#else
  return {false, "pool", "built without liburing"};
#endif
}

}  // namespace

const ColdReadEngine& cold_read_engine() {
  static const ColdReadEngine engine = decide();
  return engine;
}

bool uring_read_all(std::span<const DiskRead> reads, std::span<bool> done) noexcept {
#if QUANDREL_HAVE_LIBURING
  if (!cold_read_engine().uring) return false;
  io_uring* ring = t_ring.get();
  if (ring == nullptr) return false;
  std::fill(done.begin(), done.end(), false);
  // A read longer than a ring's length field holds is left to the caller.
  constexpr std::size_t kLongest = std::size_t{1} << 30;
  std::size_t next = 0;
  unsigned in_kernel = 0;  // submitted, not yet completed
  while (next < reads.size() || in_kernel > 0) {
    for (; next < reads.size() && in_kernel + io_uring_sq_ready(ring) < kUringDepth; ++next) {
      const DiskRead& r = reads[next];
      if (r.into.size() > kLongest || r.into.empty()) continue;
      io_uring_sqe* sqe = io_uring_get_sqe(ring);
      if (sqe == nullptr) break;
      io_uring_prep_read(sqe, r.fd, r.into.data(), static_cast<unsigned>(r.into.size()), r.offset);
      io_uring_sqe_set_data64(sqe, next);
    }
    const unsigned queued = io_uring_sq_ready(ring);
    const int rc = io_uring_submit_and_wait(ring, 1);
    if (rc >= 0) {
      in_kernel += static_cast<unsigned>(rc);
    } else if (!transient(rc)) {
      // The ring itself failed (it cannot once a no-op went through, short
      // of a kernel fault). What it took is waited for below; the rest is
      // dropped with the ring, and this thread reads through the pool.
      in_kernel += queued - io_uring_sq_ready(ring);
      t_ring.broken = true;
    }
    io_uring_cqe* cqe = nullptr;
    unsigned head = 0, seen = 0;
    io_uring_for_each_cqe(ring, head, cqe) {
      const std::uint64_t i = io_uring_cqe_get_data64(cqe);
      done[i] = cqe->res >= 0 && static_cast<std::size_t>(cqe->res) == reads[i].into.size();
      ++seen;
    }
    io_uring_cq_advance(ring, seen);
    in_kernel -= seen;
    if (t_ring.broken) {
      while (in_kernel > 0) {
        const int waited = io_uring_wait_cqe(ring, &cqe);
        if (transient(waited)) continue;
        if (waited < 0) break;  // the ring is gone, and its reads with it
        const std::uint64_t i = io_uring_cqe_get_data64(cqe);
        done[i] = cqe->res >= 0 && static_cast<std::size_t>(cqe->res) == reads[i].into.size();
        io_uring_cqe_seen(ring, cqe);
        --in_kernel;
      }
      t_ring.drop();
      return true;
    }
  }
  return true;
#else
  (void)reads;
  (void)done;
  return false;
#endif
}

}  // namespace quandrel::io
