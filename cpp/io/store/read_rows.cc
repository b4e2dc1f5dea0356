// The store's read of a batch of rows, through the slot loop that the view
// shares. A store with no mapped shard puts the rows in id order first, so
// that each shard is read in one ascending pass and rows sharing a page cost
// one read.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "core/messages.h"
#include "io/pool/run_parts.h"
#include "io/pool/worker_pool.h"
#include "io/read/slot_batch.h"
#include "io/store/shard_store.h"

namespace quandrel::io {
namespace {

// A hot mapped row costs about 0.1 us: from this many rows on, a helper pays
// for its wake-up. Cold rows wait for the disk: small parts, every helper, so
// that as many reads are in flight as there are threads.
constexpr Spread kMappedSpread{.hot_per_helper = 4096, .hot_per_part = 512, .cold_per_part = 2};

[[noreturn]] void slot_fault(const char* which, std::uint64_t index, std::size_t len) {
  fault("range " + std::string(which) + " index " + std::to_string(index) +
        " out of range for slice of length " + std::to_string(len));
}

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

// A row and where it goes, for putting a batch in id order.
struct Placed {
  std::uint64_t rowid;
  std::byte* place;
};

bool by_row(const Placed& a, const Placed& b) {
  return a.rowid != b.rowid ? a.rowid < b.rowid : a.place < b.place;
}

// Calls f(rowid, place) for every row of the batches, in their order: row i
// of a batch goes to its out + i * row_bytes.
template <class F>
void each_placed(std::span<const ItemsInto> batches, std::uint64_t row_bytes, F f) {
  for (const ItemsInto& b : batches) {
    for (std::size_t i = 0; i < b.ids.size(); ++i) f(b.ids[i], b.out + i * row_bytes);
  }
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
  const std::size_t one_call[] = {rowids.size()};
  if (!mapped() && !std::is_sorted(rowids.begin(), rowids.end())) {
    const ItemsInto all{rowids, out.data()};
    return read_in_row_order({&all, 1}, rowids.size(), threads, one_call);
  }
  return read_batch(rowids, out.data(), nullptr, threads, one_call, !mapped());
}

Result<void> ShardStore::read_rows(std::span<const ItemsInto> batches, std::uint64_t threads) const {
  std::size_t n = 0;
  for (const ItemsInto& b : batches) n += b.ids.size();
  if (n == 0) return {};
  if (layout_.rows_per_shard == 0) (void)layout_.shard_of(0);  // faults
  std::vector<std::size_t> call_sizes;
  call_sizes.reserve(batches.size());
  for (const ItemsInto& b : batches) call_sizes.push_back(b.ids.size());
  if (!mapped()) return read_in_row_order(batches, n, threads, call_sizes);
  std::vector<std::uint64_t> rowids;
  std::vector<std::byte*> places;
  rowids.reserve(n);
  places.reserve(n);
  each_placed(batches, layout_.row_bytes, [&](std::uint64_t rowid, std::byte* place) {
    rowids.push_back(rowid);
    places.push_back(place);
  });
  return read_batch(rowids, nullptr, places.data(), threads, call_sizes, false);
}

Result<void> ShardStore::read_in_row_order(std::span<const ItemsInto> batches, std::size_t n,
                                           std::uint64_t threads,
                                           std::span<const std::size_t> call_sizes) const {
  std::vector<Placed> placed;
  placed.reserve(n);
  each_placed(batches, layout_.row_bytes,
              [&](std::uint64_t rowid, std::byte* place) { placed.push_back({rowid, place}); });
  std::sort(placed.begin(), placed.end(), by_row);
  std::vector<std::uint64_t> rowids(n);
  std::vector<std::byte*> places(n);
  for (std::size_t k = 0; k < n; ++k) {
    rowids[k] = placed[k].rowid;
    places[k] = placed[k].place;
  }
  return read_batch(rowids, nullptr, places.data(), threads, call_sizes, true);
}

Result<void> ShardStore::read_batch(std::span<const std::uint64_t> rowids, std::byte* out,
                                    std::byte* const* places, std::uint64_t threads,
                                    std::span<const std::size_t> call_sizes, bool in_row_order) const {
  // The pool starts with the first batch that may use it, even one served on
  // the calling thread, so that the first batch that needs helpers does not
  // wait for threads to start.
  if (threads > 1) (void)pool::worker_count();
  const std::size_t helpers = threads > 1 ? threads - 1 : 0;
  const RowLocator locate{shard_count(), layout_.rows_per_shard, layout_.row_bytes};
  auto by_position = [&rowids, locate](std::size_t p) { return locate(rowids[p]); };
  SlotBatch batch(*backend_, files_, layout_.row_bytes, out, by_position,
                  {.past_end = PastEnd::kZeros, .places = places, .in_page_order = in_row_order});
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

}  // namespace quandrel::io
