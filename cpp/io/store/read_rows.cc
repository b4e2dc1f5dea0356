// The read path of the store. Every row goes straight into its slot of the
// output. A batch small enough that a hand-off would cost more than it saves
// runs on the calling thread; a larger one is cut into parts that the caller
// and pool workers take in turn.
//
// Mapped reads copy each row from its shard's mapping, with a guarded copy;
// whatever a mapping cannot serve (past its length, a copy that faulted, a
// shard that is not mapped) is read with pread, so both give the same bytes.
// Positional reads sort the rows by id, so that each shard is read in one
// ascending pass through a one-page window, and rows sharing a page cost one
// read.
#include <fcntl.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/messages.h"
#include "io/read/safe_copy.h"
#include "io/read/first_error.h"
#include "io/read/huge_pages.h"
#include "io/pool/run_parts.h"
#include "io/pool/worker_pool.h"
#include "io/store/shard_store.h"

namespace quandrel::io {
namespace {

// Rows per part of a positional-read batch: about 50 us of reads, well above
// what a helper costs to wake, and small enough to spread a batch over many
// helpers. A batch of one part stays on the calling thread.
constexpr std::size_t kPreadRowsPerPart = 32;

// Reads are timed: one that takes this long waited for the disk (a copy from
// memory takes well under a microsecond, a minor fault or a pread from the
// page cache a few). The rows after it are then asked of the disk all at
// once (the kernel reads them ahead while we wait for the first), or, in a
// large batch, read in parallel, so that a cold batch's reads overlap. A
// residency query instead would cost a system call per row, more than the
// copy of a hot one.
constexpr std::uint64_t kColdNs = 15'000;
// Rows timed together: one at a time in small batches, where a cold row must
// be noticed at once, in groups in larger ones, which turn to helpers.
constexpr std::size_t kTimedAlone = 64;
constexpr std::size_t kTimedTogether = 16;
// A hot mapped row costs about 0.1 us: from this many rows on, a helper pays
// for its wake-up, and a batch this large looks at a sample of its rows'
// residency to tell hot from cold before it starts.
constexpr std::size_t kMappedRowsPerHelper = 4096;
constexpr std::size_t kProbeSample = 4;
constexpr std::size_t kMappedRowsPerPart = 512;
// Cold rows wait for the disk: small parts, every helper, so that as many
// reads are in flight as there are threads.
constexpr std::size_t kColdRowsPerPart = 2;
// Copies handed to one guarded call.
constexpr std::size_t kCopyBatch = 32;

std::uint64_t now_ns() {
  timespec t;
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000 + static_cast<std::uint64_t>(t.tv_nsec);
}

struct Entry {
  std::uint64_t rowid;
  std::uint64_t pos;  // slot in the output
};

bool by_row(const Entry& a, const Entry& b) {
  return a.rowid != b.rowid ? a.rowid < b.rowid : a.pos < b.pos;
}

[[noreturn]] void slot_fault(const char* which, std::uint64_t index, std::size_t len) {
  fault("range " + std::string(which) + " index " + std::to_string(index) +
        " out of range for slice of length " + std::to_string(len));
}

std::uint64_t page_of(std::uint64_t offset) { return offset & ~(kPageBytes - 1); }

}  // namespace

// One gather. Parts borrow it; run_parts returns only after all of them have
// finished.
class RowRead {
 public:
  RowRead(const ShardStore& g, std::span<const std::uint64_t> rowids, std::span<std::byte> out)
      : g_(g), rows_per_shard_(g.layout().rows_per_shard), row_bytes_(g.layout().row_bytes),
        rowids_(rowids), out_(out) {}

  // Faults, before anything is read or written, on what no read could
  // serve: a row id outside the table, a result too large to exist, and an
  // output too short for it.
  void check() const {
    if (rows_per_shard_ == 0) (void)g_.layout().shard_of(0);  // faults
    const std::uint64_t shards = g_.shard_count();
    // Past the table exactly when past shards * rows_per_shard; when that
    // product passes 2^64 no id is.
    std::uint64_t rows = 0;
    const bool all_inside = __builtin_mul_overflow(shards, rows_per_shard_, &rows);
    std::optional<std::uint64_t> beyond;
    for (std::uint64_t r : rowids_) {
      if (all_inside || r < rows) continue;
      const std::uint64_t s = r / rows_per_shard_;
      if (!beyond || s < *beyond) beyond = s;
    }
    if (beyond) {
      fault("index out of bounds: the len is " + std::to_string(shards) + " but the index is " +
            std::to_string(*beyond));
    }
    std::uint64_t size = 0;
    if (__builtin_mul_overflow(rowids_.size(), row_bytes_, &size) ||
        size > static_cast<std::uint64_t>(PTRDIFF_MAX)) {
      fault(msg::kCapacityOverflow);
    }
    if (size > out_.size()) {
      const std::uint64_t p = out_.size() / std::max<std::uint64_t>(row_bytes_, 1);
      const std::uint64_t start = p * row_bytes_;
      if (start > out_.size()) slot_fault("start", start, out_.size());
      slot_fault("end", start + row_bytes_, out_.size());
    }
  }

  bool mapped() const { return !g_.maps_.empty(); }

  Result<void> run_mapped(std::uint64_t threads) {
    const std::size_t n = rowids_.size();
    const std::size_t helpers = threads > 1 ? threads - 1 : 0;
    const std::size_t wanted = std::min(helpers, n / kMappedRowsPerHelper);
    if (wanted == 0) {
      copy_rows_timed(helpers);
    } else if (sample_resident()) {
      copy_in_parts(kMappedRowsPerPart, wanted, 0);
    } else {
      copy_in_parts(kColdRowsPerPart, helpers, 0);
    }
    return error_.take();
  }

  // On the calling thread, until a copy shows that the rows come from the
  // disk; the rest then in parallel.
  void copy_rows_timed(std::size_t helpers) {
    const std::size_t n = rowids_.size();
    const std::size_t step = n <= kTimedAlone ? 1 : kTimedTogether;
    for (std::size_t p = 0; p < n;) {
      const std::size_t end = std::min(n, p + step);
      const std::uint64_t start = now_ns();
      if (!copy_rows(p, end)) return;
      p = end;
      if (p == n || now_ns() - start <= kColdNs) continue;
      if (step == 1) {
        for (std::size_t q = p; q < n; ++q) ask_ahead(rowids_[q]);
        (void)copy_rows(p, n);
        return;
      }
      if (helpers > 0) return copy_in_parts(kColdRowsPerPart, helpers, p);
    }
  }

  void copy_in_parts(std::size_t per_part, std::size_t helpers, std::size_t first) {
    const std::size_t n = rowids_.size();
    const std::size_t parts = (n - first + per_part - 1) / per_part;
    run_parts(parts, helpers, [this, n, per_part, first](std::size_t k) {
      const std::size_t begin = first + k * per_part;
      (void)copy_rows(begin, std::min(n, begin + per_part));
    });
  }

  // Starts reading the row into the page cache without waiting for it.
  void ask_ahead(std::uint64_t rowid) const {
    std::uint64_t offset = 0;
    if (!file_offset(rowid, offset)) return;
    (void)::posix_fadvise(g_.files_[rowid / rows_per_shard_].fd(), static_cast<off_t>(offset),
                          static_cast<off_t>(row_bytes_), POSIX_FADV_WILLNEED);
  }

  bool sample_resident() const {
    const std::size_t n = rowids_.size();
    for (std::size_t i = 0; i < kProbeSample; ++i) {
      if (!resident(i * (n / kProbeSample))) return false;
    }
    return true;
  }

  Result<void> run_pread(std::uint64_t threads) {
    entries_.resize(rowids_.size());
    for (std::size_t p = 0; p < rowids_.size(); ++p) entries_[p] = {rowids_[p], p};
    std::sort(entries_.begin(), entries_.end(), by_row);
    const std::size_t n = entries_.size();
    if (n <= kPreadRowsPerPart || threads <= 1) {
      read_sorted(0, n);
    } else {
      const std::size_t parts = (n + kPreadRowsPerPart - 1) / kPreadRowsPerPart;
      run_parts(parts, threads - 1, [this, n](std::size_t k) {
        read_sorted(k * kPreadRowsPerPart, std::min(n, (k + 1) * kPreadRowsPerPart));
      });
    }
    return error_.take();
  }

 private:
  std::byte* slot(std::uint64_t pos) const { return out_.data() + pos * row_bytes_; }

  // The row's offset in its shard file, or false when the row would end
  // beyond the largest file offset there is (the product may even pass 2^64,
  // and a wrapped offset would read another row).
  bool file_offset(std::uint64_t rowid, std::uint64_t& offset) const {
    return offset_in(rowid, rowid / rows_per_shard_, offset);
  }
  // The same for a row of a known shard, saving a division.
  bool offset_in(std::uint64_t rowid, std::uint64_t shard, std::uint64_t& offset) const {
    const std::uint64_t k = rowid - shard * rows_per_shard_;
    return !__builtin_mul_overflow(k, row_bytes_, &offset) &&
           offset <= static_cast<std::uint64_t>(INT64_MAX) - row_bytes_;
  }

  bool fits_in_page(std::uint64_t offset) const {
    return offset - page_of(offset) + row_bytes_ <= kPageBytes;
  }

  // Whether row p's bytes are in memory, as far as its mapping tells. A row
  // the mapping does not cover counts as resident: it is read with pread,
  // which is quick past the end of a file.
  bool resident(std::size_t p) const {
    const std::uint64_t r = rowids_[p];
    std::uint64_t offset = 0;
    if (!file_offset(r, offset)) return true;
    const Mapping& m = g_.maps_[r / rows_per_shard_];
    return !m.covers(offset, row_bytes_) || m.resident(offset, row_bytes_);
  }

  // Reads rows at positions [first, last) in input order. Stops at the first
  // failed read, after recording it, and returns false.
  bool copy_rows(std::size_t first, std::size_t last) {
    CopyOp ops[kCopyBatch];
    std::uint64_t shard_of[kCopyBatch], offset_of[kCopyBatch];
    std::size_t queued = 0;
    for (std::size_t p = first; p < last; ++p) {
      const std::uint64_t r = rowids_[p];
      const std::uint64_t shard = r / rows_per_shard_;
      std::byte* row = slot(p);
      std::uint64_t offset = 0;
      if (!offset_in(r, shard, offset)) {
        std::memset(row, 0, row_bytes_);  // past the end of any file
        continue;
      }
      if (!g_.maps_[shard].covers(offset, row_bytes_)) {
        if (!pread_row(row, shard, offset)) return false;
        continue;
      }
      ops[queued] = {row, g_.maps_[shard].data() + offset, row_bytes_};
      shard_of[queued] = shard;
      offset_of[queued] = offset;
      if (++queued == kCopyBatch) {
        if (!copy_queued(ops, shard_of, offset_of, queued)) return false;
        queued = 0;
      }
    }
    return copy_queued(ops, shard_of, offset_of, queued);
  }

  // A copy that faults means its file shrank or failed under the mapping:
  // the mapping is retired, and that row and every later row of the shard
  // are read with pread, which tells zeros past the end from failed reads.
  bool copy_queued(const CopyOp* ops, const std::uint64_t* shard_of, const std::uint64_t* offset_of,
                   std::size_t count) {
    std::size_t k = 0;
    while (k < count) {
      k += safe_copy_many({ops + k, count - k});
      if (k == count) break;
      g_.maps_[shard_of[k]].retire();
      for (; k < count && g_.maps_[shard_of[k]].retired(); ++k) {
        if (!pread_row(static_cast<std::byte*>(ops[k].dst), shard_of[k], offset_of[k])) return false;
      }
    }
    return true;
  }

  bool pread_row(std::byte* row, std::uint64_t shard, std::uint64_t offset) {
    Result<std::size_t> n = read_up_to(*g_.backend_, g_.files_[shard].fd(), {row, row_bytes_}, offset);
    if (!n) {
      error_.record(n.error());
      return false;
    }
    std::memset(row + *n, 0, row_bytes_ - *n);
    return true;
  }

  // Whether entry j exists within [.., last), is in `shard`, and lies wholly
  // in `page`.
  bool shares_page(std::size_t j, std::size_t last, std::uint64_t shard, std::uint64_t page) const {
    std::uint64_t next = 0;
    return j < last && entries_[j].rowid / rows_per_shard_ == shard &&
           file_offset(entries_[j].rowid, next) && page_of(next) == page && fits_in_page(next);
  }

  // Reads sorted entries [first, last) in one ascending pass. Stops at the
  // first failed read, after recording it.
  void read_sorted(std::size_t first, std::size_t last) {
    std::byte window[kPageBytes];
    std::uint64_t window_shard = ~std::uint64_t{0};
    std::uint64_t window_page = ~std::uint64_t{0};  // none: pages are multiples of 4096
    const IoBackend& backend = *g_.backend_;
    bool asked_ahead = false;
    std::uint64_t start = now_ns();
    for (std::size_t i = first; i < last; ++i) {
      if (!asked_ahead && i > first) {
        const std::uint64_t t = now_ns();
        if (t - start > kColdNs) {
          for (std::size_t j = i; j < last; ++j) ask_ahead(entries_[j].rowid);
          asked_ahead = true;
        }
        start = t;
      }
      const Entry& e = entries_[i];
      std::byte* row = slot(e.pos);
      if (i > first && entries_[i - 1].rowid == e.rowid) {
        std::memcpy(row, slot(entries_[i - 1].pos), row_bytes_);
        continue;
      }
      std::uint64_t offset = 0;
      if (!file_offset(e.rowid, offset)) {
        std::memset(row, 0, row_bytes_);  // past the end of any file
        continue;
      }
      const std::uint64_t shard = e.rowid / rows_per_shard_;
      const int fd = g_.files_[shard].fd();
      const std::uint64_t page = page_of(offset);
      if (shard == window_shard && page == window_page && fits_in_page(offset)) {
        std::memcpy(row, window + (offset - page), row_bytes_);
        continue;
      }
      std::size_t j = i + 1;
      while (j < last && entries_[j].rowid == e.rowid) ++j;
      if (!fits_in_page(offset) || !shares_page(j, last, shard, page)) {
        // Read on its own: a row that crosses into the next page, or the
        // only row of its page (a whole page would copy 4096 bytes for it).
        // Bytes past the end of the file read as zeros.
        Result<std::size_t> n = read_up_to(backend, fd, {row, row_bytes_}, offset);
        if (!n) return error_.record(n.error());
        std::memset(row + *n, 0, row_bytes_ - *n);
        continue;
      }
      Result<std::size_t> n = read_up_to(backend, fd, {window, kPageBytes}, page);
      if (!n) return error_.record(n.error());
      // Past the end of a short file the window reads as zeros, never as
      // what an earlier page left there.
      std::memset(window + *n, 0, kPageBytes - *n);
      window_shard = shard;
      window_page = page;
      std::memcpy(row, window + (offset - page), row_bytes_);
    }
  }

  const ShardStore& g_;
  const std::uint64_t rows_per_shard_;
  const std::uint64_t row_bytes_;
  const std::span<const std::uint64_t> rowids_;
  const std::span<std::byte> out_;
  std::vector<Entry> entries_;
  FirstError error_;
};

Result<void> ShardStore::read_rows(std::span<const std::uint64_t> rowids, std::span<std::byte> out,
                                    std::uint64_t threads) const {
  if (rowids.empty()) return {};
  RowRead run(*this, rowids, out);
  run.check();
  // The pool starts with the first batch that may use it, even one served on
  // the calling thread, so that the first batch that needs helpers does not
  // wait for threads to start.
  if (threads > 1) (void)pool::worker_count();
  advise_huge_pages(out.first(rowids.size() * layout().row_bytes));
  return run.mapped() ? run.run_mapped(threads) : run.run_pread(threads);
}

}  // namespace quandrel::io
