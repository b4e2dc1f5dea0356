// The read path of the store. Every row goes straight into its slot of the
// output. A batch small enough that a hand-off would cost more than it saves
// runs on the calling thread; a larger one is cut into parts that the caller
// and pool workers take in turn.
//
// Positional reads: the rows are sorted by id, so that each shard is read in
// one ascending pass through a one-page window, and rows sharing a page cost
// one read.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/messages.h"
#include "io/first_error.h"
#include "io/pool.h"
#include "io/store.h"

namespace quandrel::io {
namespace {

// Rows per part of a positional-read batch: about 50 us of reads, well above
// what a helper costs to wake, and small enough to spread a batch over many
// helpers.
constexpr std::size_t kPreadRowsPerPart = 32;
// Below this many rows a positional-read batch stays on the calling thread.
constexpr std::size_t kPreadSerialRows = 12;

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
class GatherRun {
 public:
  GatherRun(const ZiruvGather& g, std::span<const std::uint64_t> rowids, std::span<std::byte> out)
      : g_(g), rows_per_shard_(g.layout().rows_per_shard), row_bytes_(g.layout().row_bytes),
        rowids_(rowids), out_(out) {}

  // Faults, before anything is read or written, on what no read could
  // serve: a row id outside the table, a result too large to exist, and an
  // output too short for it.
  void check() const {
    if (rows_per_shard_ == 0) (void)g_.layout().shard_of(0);  // faults
    const std::uint64_t shards = g_.shard_count();
    std::optional<std::uint64_t> beyond;
    for (std::uint64_t r : rowids_) {
      const std::uint64_t s = r / rows_per_shard_;
      if (s >= shards && (!beyond || s < *beyond)) beyond = s;
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

  Result<void> run_pread(std::uint64_t threads) {
    entries_.resize(rowids_.size());
    for (std::size_t p = 0; p < rowids_.size(); ++p) entries_[p] = {rowids_[p], p};
    std::sort(entries_.begin(), entries_.end(), by_row);
    const std::size_t n = entries_.size();
    if (n < kPreadSerialRows || threads <= 1) {
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
    const std::uint64_t k = rowid % rows_per_shard_;
    return !__builtin_mul_overflow(k, row_bytes_, &offset) &&
           offset <= static_cast<std::uint64_t>(INT64_MAX) - row_bytes_;
  }

  bool fits_in_page(std::uint64_t offset) const {
    return offset - page_of(offset) + row_bytes_ <= kPageBytes;
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
    for (std::size_t i = first; i < last; ++i) {
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

  const ZiruvGather& g_;
  const std::uint64_t rows_per_shard_;
  const std::uint64_t row_bytes_;
  const std::span<const std::uint64_t> rowids_;
  const std::span<std::byte> out_;
  std::vector<Entry> entries_;
  FirstError error_;
};

Result<void> ZiruvGather::gather_pp(std::span<const std::uint64_t> rowids, std::span<std::byte> out,
                                    std::uint64_t threads) const {
  if (rowids.empty()) return {};
  GatherRun run(*this, rowids, out);
  run.check();
  return run.run_pread(threads);
}

}  // namespace quandrel::io
