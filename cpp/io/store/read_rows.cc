// The store's read of a batch of rows. Mapped shards go through the slot
// loop that the view shares. A store with no mapped shard reads positionally
// in its own order instead: the rows are sorted by id, so that each shard is
// read in one ascending pass through a one-page window, and rows sharing a
// page cost one read.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/messages.h"
#include "io/pool/run_parts.h"
#include "io/pool/worker_pool.h"
#include "io/read/cold_reads.h"
#include "io/read/first_error.h"
#include "io/read/slot_batch.h"
#include "io/store/shard_store.h"

namespace quandrel::io {
namespace {

// A hot mapped row costs about 0.1 us: from this many rows on, a helper pays
// for its wake-up. Cold rows wait for the disk: small parts, every helper, so
// that as many reads are in flight as there are threads.
constexpr Spread kMappedSpread{.hot_per_helper = 4096, .hot_per_part = 512, .cold_per_part = 2};

// Rows per part of a positional-read batch: about 50 us of reads, well above
// what a helper costs to wake, and small enough to spread a batch over many
// helpers. A batch of one part stays on the calling thread.
constexpr std::size_t kPreadRowsPerPart = 32;

[[noreturn]] void slot_fault(const char* which, std::uint64_t index, std::size_t len) {
  fault("range " + std::string(which) + " index " + std::to_string(index) +
        " out of range for slice of length " + std::to_string(len));
}

std::uint64_t page_of(std::uint64_t offset) { return offset & ~(kPageBytes - 1); }

// Where row r lies: its shard and its offset there, or `beyond` when the row
// would end beyond the largest file offset there is (the product may even
// pass 2^64, and a wrapped offset would read another row). A row outside the
// table, which output_bytes refuses, is beyond too, so that an unchecked
// one can never index past the shards.
struct RowLocator {
  std::uint64_t shards;
  std::uint64_t rows_per_shard;
  std::uint64_t row_bytes;

  SlotSource operator()(std::uint64_t r) const {
    SlotSource s;
    s.file = r / rows_per_shard;
    const std::uint64_t k = r - s.file * rows_per_shard;
    s.beyond = s.file >= shards || __builtin_mul_overflow(k, row_bytes, &s.offset) ||
               s.offset > static_cast<std::uint64_t>(INT64_MAX) - row_bytes;
    return s;
  }
};

struct Entry {
  std::uint64_t rowid;
  std::uint64_t pos;  // slot in the output
};

bool by_row(const Entry& a, const Entry& b) {
  return a.rowid != b.rowid ? a.rowid < b.rowid : a.pos < b.pos;
}

}  // namespace

std::uint64_t ShardStore::output_bytes(std::span<const std::uint64_t> rowids) const {
  const std::uint64_t rows_per_shard = layout_.rows_per_shard;
  if (rows_per_shard == 0 && !rowids.empty()) (void)layout_.shard_of(0);  // faults
  const std::uint64_t shards = shard_count();
  // Past the table exactly when past shards * rows_per_shard; when that
  // product passes 2^64 no id is.
  std::uint64_t rows = 0;
  const bool all_inside = __builtin_mul_overflow(shards, rows_per_shard, &rows);
  std::optional<std::uint64_t> beyond;
  for (std::uint64_t r : rowids) {
    if (all_inside || r < rows) continue;
    const std::uint64_t s = r / rows_per_shard;
    if (!beyond || s < *beyond) beyond = s;
  }
  if (beyond) {
    fault("index out of bounds: the len is " + std::to_string(shards) + " but the index is " +
          std::to_string(*beyond));
  }
  std::uint64_t size = 0;
  if (__builtin_mul_overflow(rowids.size(), layout_.row_bytes, &size) ||
      size > static_cast<std::uint64_t>(PTRDIFF_MAX)) {
    fault(msg::kCapacityOverflow);
  }
  return size;
}

Result<void> ShardStore::read_rows(std::span<const std::uint64_t> rowids, std::span<std::byte> out,
                                   std::uint64_t threads) const {
  if (rowids.empty()) return {};
  if (layout_.rows_per_shard == 0) (void)layout_.shard_of(0);  // faults
  const std::uint64_t row_bytes = layout_.row_bytes;
  const std::uint64_t size = rowids.size() * row_bytes;  // output_bytes has checked it
  if (size > out.size()) {
    const std::uint64_t p = out.size() / std::max<std::uint64_t>(row_bytes, 1);
    const std::uint64_t start = p * row_bytes;
    if (start > out.size()) slot_fault("start", start, out.size());
    slot_fault("end", start + row_bytes, out.size());
  }
  if (!mapped()) {
    if (threads > 1) (void)pool::worker_count();
    const std::uint64_t start = now_ns();
    std::atomic<std::uint64_t> from_device{0};
    Result<void> done = read_sorted(rowids, out.data(), threads, from_device);
    const std::uint64_t ns = now_ns() - start;
    stats_->record({rowids.size(), from_device.load(std::memory_order_relaxed), !done, ns});
    return done;
  }
  const std::size_t one_call[] = {rowids.size()};
  return read_mapped(rowids, out.data(), nullptr, threads, one_call);
}

Result<void> ShardStore::read_rows(std::span<const ItemsInto> batches, std::uint64_t threads) const {
  const std::uint64_t row_bytes = layout_.row_bytes;
  std::size_t n = 0;
  for (const ItemsInto& b : batches) n += b.ids.size();
  // The unmapped store's sorted pass already reads each page once per batch.
  if (!mapped() || n == 0 || layout_.rows_per_shard == 0) {
    Result<void> first_error;
    for (const ItemsInto& b : batches) {
      Result<void> r = read_rows(b.ids, {b.out, b.ids.size() * row_bytes}, threads);
      if (!r && first_error) first_error = std::move(r);
    }
    return first_error;
  }
  std::vector<std::uint64_t> rowids;
  std::vector<std::byte*> places;
  std::vector<std::size_t> call_sizes;
  rowids.reserve(n);
  places.reserve(n);
  call_sizes.reserve(batches.size());
  for (const ItemsInto& b : batches) {
    rowids.insert(rowids.end(), b.ids.begin(), b.ids.end());
    for (std::size_t i = 0; i < b.ids.size(); ++i) places.push_back(b.out + i * row_bytes);
    call_sizes.push_back(b.ids.size());
  }
  return read_mapped(rowids, nullptr, places.data(), threads, call_sizes);
}

Result<void> ShardStore::read_mapped(std::span<const std::uint64_t> rowids, std::byte* out,
                                     std::byte* const* places, std::uint64_t threads,
                                     std::span<const std::size_t> call_sizes) const {
  // The pool starts with the first batch that may use it, even one served on
  // the calling thread, so that the first batch that needs helpers does not
  // wait for threads to start.
  if (threads > 1) (void)pool::worker_count();
  const std::size_t helpers = threads > 1 ? threads - 1 : 0;
  const RowLocator locate{shard_count(), layout_.rows_per_shard, layout_.row_bytes};
  auto by_position = [&rowids, locate](std::size_t p) { return locate(rowids[p]); };
  SlotBatch batch(*backend_, files_, layout_.row_bytes, out, by_position,
                  {.past_end = PastEnd::kZeros, .places = places});
  Result<void> done = batch.run(rowids.size(), helpers, kMappedSpread);
  // The batch does not tell whose rows came from the device: they are
  // counted against the calls in order, which keeps every total exact.
  std::uint64_t from_device = batch.slots_from_device();
  for (const std::size_t rows : call_sizes) {
    const std::uint64_t mine = std::min<std::uint64_t>(rows, from_device);
    from_device -= mine;
    stats_->record({rows, mine, !done, batch.elapsed_ns()});
  }
  return done;
}

// Positional reads in row order through a one-page window per part.
Result<void> ShardStore::read_sorted(std::span<const std::uint64_t> rowids, std::byte* out,
                                     std::uint64_t threads,
                                     std::atomic<std::uint64_t>& from_device) const {
  const std::uint64_t row_bytes = layout_.row_bytes;
  const RowLocator locate{shard_count(), layout_.rows_per_shard, row_bytes};
  std::vector<Entry> entries(rowids.size());
  for (std::size_t p = 0; p < rowids.size(); ++p) entries[p] = {rowids[p], p};
  std::sort(entries.begin(), entries.end(), by_row);
  FirstError error;
  auto slot = [out, row_bytes](std::uint64_t pos) { return out + pos * row_bytes; };
  auto fits_in_page = [row_bytes](std::uint64_t offset) {
    return offset - page_of(offset) + row_bytes <= kPageBytes;
  };
  auto fill = [&](std::byte* into, std::size_t len, const SlotSource& s, std::uint64_t offset) {
    const ReadFile& f = files_[s.file];
    Result<std::size_t> n = backend_->fill_at(f.file.fd(), {into, len}, offset);
    if (!n) {
      error.record(IoError(n.error()).with_note(f.note));
      return false;
    }
    // Past the end of a short file the bytes read as zeros, never as what an
    // earlier read left there.
    std::memset(into + *n, 0, len - *n);
    return true;
  };
  // Sorted entries [first, last), known to wait for the disk, asked of it at
  // once through the backend's engine, each row once; false, with nothing
  // read, where there is none.
  auto read_from_disk = [&](std::size_t first, std::size_t last) {
    std::vector<DiskRead> reads;
    std::vector<SlotSource> sources;
    for (std::size_t j = first; j < last; ++j) {
      if (j > first && entries[j - 1].rowid == entries[j].rowid) continue;
      const SlotSource s = locate(entries[j].rowid);
      if (s.beyond) continue;
      reads.push_back({files_[s.file].file.fd(), s.offset, {slot(entries[j].pos), row_bytes}});
      sources.push_back(s);
    }
    const auto done = std::make_unique<bool[]>(reads.size());
    if (!backend_->read_from_disk(reads, {done.get(), reads.size()})) return false;
    for (std::size_t k = 0; k < reads.size(); ++k) {
      if (!done[k] && !fill(reads[k].into.data(), row_bytes, sources[k], sources[k].offset)) return true;
    }
    for (std::size_t j = first; j < last; ++j) {
      std::byte* row = slot(entries[j].pos);
      if (j > first && entries[j - 1].rowid == entries[j].rowid) {
        std::memcpy(row, slot(entries[j - 1].pos), row_bytes);
      } else if (locate(entries[j].rowid).beyond) {
        std::memset(row, 0, row_bytes);
      }
    }
    return true;
  };
  // Reads sorted entries [first, last) in one ascending pass. Stops at the
  // first failed read, after recording it.
  auto read_part = [&](std::size_t first, std::size_t last) {
    std::byte window[kPageBytes];
    std::uint64_t window_shard = ~std::uint64_t{0};
    std::uint64_t window_page = ~std::uint64_t{0};  // none: pages are multiples of 4096
    bool asked_ahead = false;
    std::uint64_t start = now_ns();
    for (std::size_t i = first; i < last; ++i) {
      if (!asked_ahead && i > first) {
        const std::uint64_t t = now_ns();
        if (t - start > kColdNs) {
          from_device.fetch_add(last - i + 1, std::memory_order_relaxed);  // from the slow one on
          if (read_from_disk(i, last)) return;
          for (std::size_t j = i; j < last; ++j) {
            const SlotSource s = locate(entries[j].rowid);
            if (!s.beyond) ask_ahead(files_[s.file].file.fd(), s.offset, row_bytes);
          }
          asked_ahead = true;
        }
        start = t;
      }
      const Entry& e = entries[i];
      std::byte* row = slot(e.pos);
      if (i > first && entries[i - 1].rowid == e.rowid) {
        std::memcpy(row, slot(entries[i - 1].pos), row_bytes);
        continue;
      }
      const SlotSource s = locate(e.rowid);
      if (s.beyond) {
        std::memset(row, 0, row_bytes);
        continue;
      }
      const std::uint64_t page = page_of(s.offset);
      if (s.file == window_shard && page == window_page && fits_in_page(s.offset)) {
        std::memcpy(row, window + (s.offset - page), row_bytes);
        continue;
      }
      // Whether the next other row shares this row's page.
      std::size_t j = i + 1;
      while (j < last && entries[j].rowid == e.rowid) ++j;
      bool shares_page = false;
      if (j < last) {
        const SlotSource next = locate(entries[j].rowid);
        shares_page = !next.beyond && next.file == s.file && page_of(next.offset) == page &&
                      fits_in_page(next.offset);
      }
      if (!fits_in_page(s.offset) || !shares_page) {
        // Read on its own: a row that crosses into the next page, or the
        // only row of its page (a whole page would copy 4096 bytes for it).
        if (!fill(row, row_bytes, s, s.offset)) return;
        continue;
      }
      if (!fill(window, kPageBytes, s, page)) return;
      window_shard = s.file;
      window_page = page;
      std::memcpy(row, window + (s.offset - page), row_bytes);
    }
    // The last row is timed too: a batch of one row has no later one.
    if (!asked_ahead && last > first && now_ns() - start > kColdNs) {
      from_device.fetch_add(1, std::memory_order_relaxed);
    }
  };
  const std::size_t n = entries.size();
  if (n <= kPreadRowsPerPart || threads <= 1) {
    read_part(0, n);
  } else {
    const std::size_t parts = (n + kPreadRowsPerPart - 1) / kPreadRowsPerPart;
    run_parts(parts, threads - 1, [&](std::size_t k) {
      read_part(k * kPreadRowsPerPart, std::min(n, (k + 1) * kPreadRowsPerPart));
    });
  }
  return error.take();
}

}  // namespace quandrel::io
