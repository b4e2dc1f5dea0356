// The one loop that reads a batch of fixed-size slots, for the store (a slot
// is a row) and the view (a record). Every slot goes straight to its place
// in the output: copied from its file's mapping where the mapping covers it,
// in batches of guarded copies, else filled with positional reads. What the
// mapping cannot serve after all (a copy that faulted: the file shrank or
// failed under it) is read positionally, so both ways give the same bytes.
//
// A batch small enough that a hand-off would cost more than it saves runs on
// the calling thread, timed, until a read shows that its slots come from the
// disk; a larger one, or a cold one, is cut into parts that the caller and
// pool workers take in turn.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "core/error.h"
#include "core/layout.h"
#include "core/messages.h"
#include "io/pool/run_parts.h"
#include "io/read/backend.h"
#include "io/read/cold_reads.h"
#include "io/read/first_error.h"
#include "io/read/read_file.h"
#include "io/read/safe_copy.h"

namespace quandrel::io {

// What a slot that reaches past the end of its file holds.
enum class PastEnd {
  kZeros,  // the store: rows past the end of a shard read as zeros
  kError,  // the view: "read_exact_at: eof inside buffer"
};

// Where slot p's bytes are: file `file` of the batch, from `offset` on.
// `beyond`: no file offset can hold it (past the end of any file).
struct SlotSource {
  std::size_t file = 0;
  std::uint64_t offset = 0;
  bool beyond = false;
};

// How a reader spreads a batch that may use helpers.
struct Spread {
  std::size_t hot_per_helper;  // slots that pay for one helper's wake-up when in memory
  std::size_t hot_per_part;
  std::size_t cold_per_part;   // cold: small parts, so that many reads are in flight
};

// One batch; parts borrow it, and run_parts returns only after all of them
// have finished. `locate(p)` gives slot p's SlotSource; it must be cheap and
// safe to call from several threads at once.
template <class Locate>
class SlotBatch {
 public:
  struct Options {
    PastEnd past_end = PastEnd::kZeros;
    bool positional_only = false;  // ignore the mappings
    // Where each slot goes when the slots are not one run from `out` on
    // (several callers' batches read as one, or slots put in page order):
    // slot p into places[p].
    std::byte* const* places = nullptr;
    // The slots come sorted by file and offset and are read positionally
    // (no file is mapped): slots that share a page cost one read of it, and
    // a part turns its rest to the disk at once when a read waited for it.
    // Only with PastEnd::kZeros.
    bool in_page_order = false;
  };

  SlotBatch(const IoBackend& io, std::span<const ReadFile> files, std::uint64_t slot_bytes,
            std::byte* out, Locate locate, Options options)
      : io_(io), files_(files), slot_bytes_(slot_bytes), out_(out), locate_(locate),
        options_(options) {}

  // Reads slots [0, n) with the calling thread and at most `helpers` more.
  // Returns the first failure recorded (not necessarily the lowest slot's).
  Result<void> run(std::size_t n, std::size_t helpers, Spread spread) {
    started_ = now_ns();
    // Before any thread copies: a handler the program installed since the
    // last batch would otherwise see this batch's faults first.
    if (!options_.positional_only &&
        std::any_of(files_.begin(), files_.end(), [](const ReadFile& f) { return f.mapped(); })) {
      keep_copy_fault_handler_first();
    }
    const std::size_t wanted = std::min(helpers, n / std::max<std::size_t>(spread.hot_per_helper, 1));
    if (options_.in_page_order) {
      read_in_page_order(n, helpers);
    } else if (wanted == 0) {
      read_timed(n, helpers, spread.cold_per_part);
    } else if (sample_resident(0, n)) {
      read_in_parts(0, n, spread.hot_per_part, wanted, /*cold=*/false);
    } else if (!read_from_disk(0, n)) {
      read_in_parts(0, n, spread.cold_per_part, helpers, /*cold=*/true);
    }
    return error_.take();
  }

  // Slots that run() found on the device: those of a timed read that waited
  // for it, and those read after it as cold (asked ahead, or in cold parts),
  // which may include a few that were in memory after all.
  std::uint64_t slots_from_device() const { return from_device_.load(std::memory_order_relaxed); }
  // When run() started, and how long it took, on the clock that times its
  // reads: the reading that ends the last timed read also ends the run.
  std::uint64_t started_ns() const { return started_; }
  std::uint64_t elapsed_ns() const { return (ended_ != 0 ? ended_ : now_ns()) - started_; }

  // The page last read whole, for slots in page order that share it.
  struct PageWindow {
    std::size_t until = 0;  // the slots it may serve end here
    std::size_t file = SIZE_MAX;
    std::uint64_t page = UINT64_MAX;
    std::byte bytes[kPageBytes];
  };

  // Reads slots [first, last) in order on the calling thread. Stops at the
  // first failed read, after recording it, and returns false.
  bool read(std::size_t first, std::size_t last, PageWindow* window = nullptr);

  Result<void> take_error() { return error_.take(); }

  // Whether a mapped copy may have met a file cut short under its mapping
  // (the cut page reads as zeros from the new end on, where a read would
  // stop): only asked for with PastEnd::kError, and only then is the file's
  // length worth asking.
  bool maybe_cut() const { return maybe_cut_.load(std::memory_order_relaxed); }

 private:
  static constexpr std::size_t kCopyBatch = 32;  // copies handed to one guarded call
  // Slots timed together: one at a time in small batches, where a cold slot
  // must be noticed at once, in groups in larger ones, which turn to helpers.
  static constexpr std::size_t kTimedAlone = 64;
  static constexpr std::size_t kTimedTogether = 16;
  // Slots handed to the disk engine at once: enough to keep its ring full
  // for a while, little memory for their bookkeeping.
  static constexpr std::size_t kDiskChunk = 8192;
  // Slots in page order per part: about 50 us of reads from memory, well
  // above what a helper costs to wake.
  static constexpr std::size_t kPageOrderPart = 32;

  void read_in_page_order(std::size_t n, std::size_t helpers) {
    if (n <= kPageOrderPart || helpers == 0) return read_part_in_page_order(0, n);
    run_parts((n + kPageOrderPart - 1) / kPageOrderPart, helpers, [this, n](std::size_t k) {
      read_part_in_page_order(k * kPageOrderPart, std::min(n, (k + 1) * kPageOrderPart));
    });
  }

  // One slot at a time, timed: once a read waited for the disk, the rest of
  // the part is asked of the disk at once.
  void read_part_in_page_order(std::size_t first, std::size_t last) {
    PageWindow window;
    window.until = last;
    std::uint64_t start = now_ns();
    for (std::size_t p = first; p < last; ++p) {
      if (!read(p, p + 1, &window)) return;
      const std::uint64_t now = now_ns();
      if (now - start <= kColdNs) {
        start = now;
        continue;
      }
      count_from_device(1);
      if (read_from_disk(p + 1, last)) return;
      for (std::size_t q = p + 1; q < last; ++q) {
        const SlotSource s = locate_(q);
        if (!s.beyond) ask_ahead(files_[s.file].file.fd(), s.offset, slot_bytes_);
      }
      count_from_device(last - p - 1);
      (void)read(p + 1, last, &window);
      return;
    }
  }

  // On the calling thread, until a read shows that the slots come from the
  // disk; the rest are then asked of the disk at once, or read in parallel.
  void read_timed(std::size_t n, std::size_t helpers, std::size_t cold_per_part) {
    const std::size_t step = n <= kTimedAlone ? 1 : kTimedTogether;
    // While small batches come from the disk, asking whether the first slot
    // is in memory costs far less than waiting for it alone before the rest.
    if (n > 1 && step == 1 && small_batches_cold().load(std::memory_order_relaxed) &&
        !sample_resident(0, 1) && read_from_disk(0, n)) {
      return;
    }
    std::uint64_t start = started_;
    for (std::size_t p = 0; p < n;) {
      const std::size_t end = std::min(n, p + step);
      if (!read(p, end)) return;
      const std::uint64_t now = now_ns();  // ends this read and starts the next
      const bool cold = now - start > kColdNs;
      start = now;
      if (cold) count_from_device(end - p);
      if (step == 1 && (cold || end == n)) note_small_batch(cold);
      p = end;
      if (p == n) {
        ended_ = now;
        return;
      }
      // A read that took long may have been preempted, not waited for the
      // disk: the next slots' pages tell, for a few system calls.
      if (!cold || sample_resident(p, n, /*unmapped=*/false)) continue;
      if (read_from_disk(p, n)) return;
      if (step == 1) {
        for (std::size_t q = p; q < n; ++q) {
          const SlotSource s = locate_(q);
          if (!s.beyond) ask_ahead(files_[s.file].file.fd(), s.offset, slot_bytes_);
        }
        count_from_device(n - p);
        (void)read(p, n);
        return;
      }
      if (helpers > 0) return read_in_parts(p, n, cold_per_part, helpers, /*cold=*/true);
    }
  }

  // Written only when it changes: every thread's small batches read it.
  static void note_small_batch(bool cold) {
    if (small_batches_cold().load(std::memory_order_relaxed) != cold) {
      small_batches_cold().store(cold, std::memory_order_relaxed);
    }
  }

  // Parts of one slot that are not known to be cold are timed: each is one
  // read, which costs far more than the clock.
  void read_in_parts(std::size_t first, std::size_t n, std::size_t per_part, std::size_t helpers,
                     bool cold) {
    per_part = std::max<std::size_t>(per_part, 1);
    if (cold) count_from_device(n - first);
    const bool timed = !cold && per_part == 1;
    const std::size_t parts = (n - first + per_part - 1) / per_part;
    run_parts(parts, helpers, [this, first, n, per_part, timed](std::size_t k) {
      const std::size_t begin = first + k * per_part;
      const std::uint64_t start = timed ? now_ns() : 0;
      if (read(begin, std::min(n, begin + per_part)) && timed && now_ns() - start > kColdNs) {
        count_from_device(1);
      }
    });
  }

  void count_from_device(std::uint64_t slots) {
    from_device_.fetch_add(slots, std::memory_order_relaxed);
  }

  // Whether a sample of slots [first, n) is in memory, as far as their
  // mappings tell. A slot no mapping covers counts as `unmapped`: read with
  // pread, it is quick past the end of a file, but its residency is unknown.
  bool sample_resident(std::size_t first, std::size_t n, bool unmapped = true) const {
    const std::size_t count = std::min(kProbeSample, n - first);
    for (std::size_t i = 0; i < count; ++i) {
      const SlotSource s = locate_(first + i * ((n - first) / count));
      if (s.beyond) continue;
      const Mapping& m = files_[s.file].mapping;
      if (options_.positional_only || !m.covers(s.offset, slot_bytes_)) {
        if (!unmapped) return false;
      } else if (!m.resident(s.offset, slot_bytes_)) {
        return false;
      }
    }
    return true;
  }

  bool read_from_disk(std::size_t first, std::size_t n);
  bool copy(const CopyOp* ops, const std::size_t* file_of, const std::uint64_t* offset_of,
            std::size_t count);
  bool fill(std::byte* slot, std::size_t file, std::uint64_t offset);
  bool fill_from_page(std::byte* slot, const SlotSource& s, std::size_t p, PageWindow& w);
  std::byte* place(std::size_t p) const {
    return options_.places != nullptr ? options_.places[p] : out_ + p * slot_bytes_;
  }
  bool fail(const IoError& error, std::size_t file) {
    error_.record(IoError(error).with_note(files_[file].note));
    return false;
  }

  const IoBackend& io_;
  const std::span<const ReadFile> files_;
  const std::uint64_t slot_bytes_;
  std::byte* const out_;
  const Locate locate_;
  const Options options_;
  std::atomic<bool> maybe_cut_{false};
  FirstError error_;
  std::atomic<std::uint64_t> from_device_{0};
  std::uint64_t started_ = 0;
  std::uint64_t ended_ = 0;  // 0 unless the timed loop's last reading ended the run
};

template <class Locate>
bool SlotBatch<Locate>::read(std::size_t first, std::size_t last, PageWindow* window) {
  CopyOp ops[kCopyBatch];
  std::size_t file_of[kCopyBatch];
  std::uint64_t offset_of[kCopyBatch];
  std::size_t queued = 0;
  for (std::size_t p = first; p < last; ++p) {
    const SlotSource s = locate_(p);
    std::byte* const slot = place(p);
    if (s.beyond) {
      if (options_.past_end == PastEnd::kError) {
        return fail(IoError::unexpected_eof(msg::kEofInsideBuffer), s.file);
      }
      std::memset(slot, 0, slot_bytes_);
      continue;
    }
    const Mapping& m = files_[s.file].mapping;
    if (options_.positional_only || !m.covers(s.offset, slot_bytes_)) {
      if (!(window != nullptr ? fill_from_page(slot, s, p, *window) : fill(slot, s.file, s.offset))) return false;
      continue;
    }
    ops[queued] = {slot, m.data() + s.offset, slot_bytes_};
    file_of[queued] = s.file;
    offset_of[queued] = s.offset;
    if (++queued == kCopyBatch) {
      if (!copy(ops, file_of, offset_of, queued)) return false;
      queued = 0;
    }
  }
  return copy(ops, file_of, offset_of, queued);
}

// Slots [first, n), known to wait for the disk, handed to the backend's
// engine at once on the calling thread, chunk by chunk; what it did not read
// whole (the end of a file, a failed read) is read positionally, which tells
// those apart. False, with nothing read, where the backend has no engine:
// the caller then spreads the slots over the pool.
template <class Locate>
bool SlotBatch<Locate>::read_from_disk(std::size_t first, std::size_t n) {
  if (first >= n) return true;
  const std::size_t chunk = std::min(n - first, kDiskChunk);
  std::vector<DiskRead> reads;
  std::vector<SlotSource> sources;
  reads.reserve(chunk);
  sources.reserve(chunk);
  const auto done = std::make_unique<bool[]>(chunk);
  for (std::size_t p = first; p < n;) {
    reads.clear();
    sources.clear();
    const std::size_t end = std::min(n, p + chunk);
    for (std::size_t q = p; q < end; ++q) {
      const SlotSource s = locate_(q);
      if (s.beyond) {
        // As read(): nothing to ask of the disk.
        if (!read(q, q + 1)) return true;
        continue;
      }
      reads.push_back({files_[s.file].file.fd(), s.offset, {place(q), slot_bytes_}});
      sources.push_back(s);
    }
    if (!io_.read_from_disk(reads, {done.get(), reads.size()})) {
      if (p == first) return false;
      std::fill_n(done.get(), reads.size(), false);  // the engine failed this thread: read them here
    }
    count_from_device(reads.size());
    for (std::size_t i = 0; i < reads.size(); ++i) {
      if (done[i]) continue;
      const SlotSource& s = sources[i];
      if (!fill(reads[i].into.data(), s.file, s.offset)) return true;
    }
    p = end;
  }
  return true;
}

// A copy that faults means its file shrank or failed under the mapping: the
// mapping is retired, and that slot and every later one of the file are read
// positionally, which tells the end of the file from a failed read.
template <class Locate>
bool SlotBatch<Locate>::copy(const CopyOp* ops, const std::size_t* file_of,
                             const std::uint64_t* offset_of, std::size_t count) {
  std::size_t k = 0;
  while (k < count) {
    const std::size_t done = k + io_.copy_mapped({ops + k, count - k});
    if (options_.past_end == PastEnd::kError && !maybe_cut_.load(std::memory_order_relaxed)) {
      for (std::size_t j = k; j < done; ++j) {
        if (ops[j].n > 0 && static_cast<const std::byte*>(ops[j].dst)[ops[j].n - 1] == std::byte{0}) {
          maybe_cut_.store(true, std::memory_order_relaxed);
          break;
        }
      }
    }
    k = done;
    if (k == count) break;
    files_[file_of[k]].mapping.retire();
    for (; k < count && files_[file_of[k]].mapping.retired(); ++k) {
      if (!fill(static_cast<std::byte*>(ops[k].dst), file_of[k], offset_of[k])) return false;
    }
  }
  return true;
}

// Slot p, in page order: when the next slot shares its page, the whole page
// is read once into `w` and both are copied from there; past the end of the
// file the page reads as zeros. A slot alone on its page, or one that
// crosses into the next, is read on its own.
template <class Locate>
bool SlotBatch<Locate>::fill_from_page(std::byte* slot, const SlotSource& s, std::size_t p, PageWindow& w) {
  const std::uint64_t page = s.offset & ~(kPageBytes - 1);
  auto within = [&](const SlotSource& t) {
    return !t.beyond && t.file == s.file && (t.offset & ~(kPageBytes - 1)) == page &&
           t.offset - page + slot_bytes_ <= kPageBytes;
  };
  if (!within(s)) return fill(slot, s.file, s.offset);
  if (w.file != s.file || w.page != page) {
    if (p + 1 >= w.until || !within(locate_(p + 1))) return fill(slot, s.file, s.offset);
    w.file = SIZE_MAX;  // until the page is in
    Result<std::size_t> n = io_.fill_at(files_[s.file].file.fd(), {w.bytes, kPageBytes}, page);
    if (!n) return fail(n.error(), s.file);
    std::memset(w.bytes + *n, 0, kPageBytes - *n);
    w.file = s.file;
    w.page = page;
  }
  std::memcpy(slot, w.bytes + (s.offset - page), slot_bytes_);
  return true;
}

template <class Locate>
bool SlotBatch<Locate>::fill(std::byte* slot, std::size_t file, std::uint64_t offset) {
  Result<std::size_t> n = io_.fill_at(files_[file].file.fd(), {slot, slot_bytes_}, offset);
  if (!n) return fail(n.error(), file);
  if (*n < slot_bytes_) {
    if (options_.past_end == PastEnd::kError) {
      return fail(IoError::unexpected_eof(msg::kEofInsideBuffer), file);
    }
    std::memset(slot + *n, 0, slot_bytes_ - *n);
  }
  return true;
}

}  // namespace quandrel::io
