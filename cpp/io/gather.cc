// The read path of the store. The ids of a batch are grouped by shard; each
// group is sorted and read in one ascending pass, through a one-page window
// where several rows share a page, so those rows cost one read; runs of
// groups become tasks on scope_run; the calling thread then copies every row
// to its slot.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "core/messages.h"
#include "io/first_error.h"
#include "io/pool.h"
#include "io/store.h"

namespace quandrel::io {
namespace {

struct Entry {
  std::uint64_t rowid;
  std::uint64_t pos;  // slot in the output
};

// A shard and its run of entries [begin, end).
struct Group {
  std::uint64_t shard;
  std::size_t begin;
  std::size_t end;
};

// a * b, or nullopt when no buffer of that size can exist.
std::optional<std::uint64_t> buffer_size(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r = 0;
  if (__builtin_mul_overflow(a, b, &r) || r > static_cast<std::uint64_t>(PTRDIFF_MAX)) {
    return std::nullopt;
  }
  return r;
}

// Fills `buffer` from `offset` on, stopping early only at the end of the
// file. Returns how many bytes it read.
Result<std::size_t> read_up_to(const IoBackend& backend, int fd, std::span<std::byte> buffer,
                               std::uint64_t offset) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    Result<std::size_t> n = backend.read_at(fd, buffer.subspan(done), offset + done);
    if (!n) return n.error();
    if (*n == 0) break;
    done += *n;
  }
  return done;
}

}  // namespace

// One gather: the grouped entries, a staging area of one row per entry (row
// i for entry i), and the first failed read. Tasks borrow it; scope_run
// returns only after all of them have finished.
class GatherRun {
 public:
  GatherRun(const ZiruvGather& g, std::span<const std::uint64_t> rowids)
      : g_(g), row_bytes_(g.layout().row_bytes) {
    group_by_shard(rowids);
    // Too large a staging area faults in the tasks, after each has checked
    // its shard, so that a row id outside the table is still what is told.
    if (std::optional<std::uint64_t> size = buffer_size(entries_.size(), row_bytes_)) {
      staging_ = std::make_unique_for_overwrite<std::byte[]>(*size);
    }
  }

  std::size_t group_count() const { return groups_.size(); }

  // Reads groups [first, last). Runs on a task thread; touches only its own
  // groups' entries and staging rows.
  void read_groups(std::size_t first, std::size_t last) {
    std::byte window[kPageBytes];
    for (std::size_t k = first; k < last; ++k) {
      if (!read_group(groups_[k], window)) return;  // the batch has failed
    }
  }

  // Copies every staged row to its slot of `out`. On the calling thread,
  // after every task has finished.
  Result<void> finish(std::span<std::byte> out) {
    if (Result<void> r = error_.take(); !r) return r;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const std::uint64_t start = entries_[i].pos * row_bytes_;
      const std::uint64_t end = start + row_bytes_;
      if (start > out.size() || end < start) slot_fault("start", start, out.size());
      if (end > out.size()) slot_fault("end", end, out.size());
      std::memcpy(out.data() + start, &staging_[i * row_bytes_], row_bytes_);
    }
    return {};
  }

 private:
  [[noreturn]] static void slot_fault(const char* which, std::uint64_t index, std::size_t len) {
    fault("range " + std::string(which) + " index " + std::to_string(index) +
          " out of range for slice of length " + std::to_string(len));
  }

  // A counting sort over the open shards; ids past the last shard get groups
  // of their own after them, so that the task holding them faults.
  void group_by_shard(std::span<const std::uint64_t> rowids) {
    const Layout& layout = g_.layout();
    const std::uint64_t shards = g_.shard_count();
    std::vector<std::uint64_t> shard_of(rowids.size());
    std::vector<std::size_t> starts(shards + 2, 0);
    for (std::size_t p = 0; p < rowids.size(); ++p) {
      shard_of[p] = std::min(layout.shard_of(rowids[p]), shards);
      ++starts[shard_of[p] + 1];
    }
    for (std::size_t s = 1; s < starts.size(); ++s) starts[s] += starts[s - 1];
    entries_.resize(rowids.size());
    std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
    for (std::size_t p = 0; p < rowids.size(); ++p) entries_[next[shard_of[p]]++] = {rowids[p], p};

    for (std::uint64_t s = 0; s < shards; ++s) {
      if (starts[s] != starts[s + 1]) groups_.push_back({s, starts[s], starts[s + 1]});
    }
    auto beyond = std::span(entries_).subspan(starts[shards]);
    std::sort(beyond.begin(), beyond.end(), by_row);
    for (std::size_t i = starts[shards]; i < entries_.size();) {
      const std::uint64_t s = layout.shard_of(entries_[i].rowid);
      std::size_t j = i;
      while (j < entries_.size() && layout.shard_of(entries_[j].rowid) == s) ++j;
      groups_.push_back({s, i, j});
      i = j;
    }
  }

  // The row's offset in its shard file, or false when the row would end
  // beyond the largest file offset there is (the product may even pass 2^64,
  // and a wrapped offset would read another row).
  bool file_offset(std::uint64_t rowid, std::uint64_t& offset) const {
    const std::uint64_t k = g_.layout().row_in_shard(rowid);
    return !__builtin_mul_overflow(k, row_bytes_, &offset) &&
           offset <= static_cast<std::uint64_t>(INT64_MAX) - row_bytes_;
  }

  static std::uint64_t page_of(std::uint64_t offset) { return offset & ~(kPageBytes - 1); }
  bool fits_in_page(std::uint64_t offset) const {
    return offset - page_of(offset) + row_bytes_ <= kPageBytes;
  }

  // Whether the next distinct row of the group also lies wholly in `page`.
  bool next_row_shares_page(const Group& group, std::size_t i, std::uint64_t page) const {
    std::size_t j = i + 1;
    while (j < group.end && entries_[j].rowid == entries_[i].rowid) ++j;
    std::uint64_t next = 0;
    return j < group.end && file_offset(entries_[j].rowid, next) && page_of(next) == page &&
           fits_in_page(next);
  }

  static bool by_row(const Entry& a, const Entry& b) {
    return a.rowid != b.rowid ? a.rowid < b.rowid : a.pos < b.pos;
  }

  // One ascending pass over the group's rows. Returns false after recording
  // a failed read.
  bool read_group(const Group& group, std::byte* window) {
    if (group.shard >= g_.files_.size()) {
      fault("index out of bounds: the len is " + std::to_string(g_.files_.size()) +
            " but the index is " + std::to_string(group.shard));
    }
    if (!staging_) fault(msg::kCapacityOverflow);
    const IoBackend& backend = *g_.backend_;
    const int fd = g_.files_[group.shard].fd();
    std::sort(entries_.begin() + group.begin, entries_.begin() + group.end, by_row);

    std::uint64_t window_page = ~std::uint64_t{0};  // none: pages are multiples of 4096
    for (std::size_t i = group.begin; i < group.end; ++i) {
      std::byte* row = &staging_[i * row_bytes_];
      if (i > group.begin && entries_[i - 1].rowid == entries_[i].rowid) {
        std::memcpy(row, row - row_bytes_, row_bytes_);
        continue;
      }
      std::uint64_t offset = 0;
      if (!file_offset(entries_[i].rowid, offset)) {
        std::memset(row, 0, row_bytes_);  // past the end of any file
        continue;
      }
      const std::uint64_t page = page_of(offset);
      if (page == window_page && fits_in_page(offset)) {
        std::memcpy(row, window + (offset - page), row_bytes_);
        continue;
      }
      if (!fits_in_page(offset) || !next_row_shares_page(group, i, page)) {
        // Read on its own: a row that crosses into the next page, or the
        // only row of its page (a whole page would copy 4096 bytes for it).
        // Bytes past the end of the file stay zero.
        std::memset(row, 0, row_bytes_);
        if (Result<std::size_t> n = read_up_to(backend, fd, {row, row_bytes_}, offset); !n) {
          error_.record(n.error());
          return false;
        }
        continue;
      }
      // One read per page: a regular file reads short only at its end.
      Result<std::size_t> n = backend.read_at(fd, {window, kPageBytes}, page);
      if (!n) {
        error_.record(n.error());
        return false;
      }
      // Past the end of a short file the window reads as zeros, never as
      // what an earlier page left there.
      std::memset(window + *n, 0, kPageBytes - *n);
      window_page = page;
      std::memcpy(row, window + (offset - page), row_bytes_);
    }
    return true;
  }

  const ZiruvGather& g_;
  const std::uint64_t row_bytes_;
  std::vector<Entry> entries_;
  std::vector<Group> groups_;
  std::unique_ptr<std::byte[]> staging_;
  FirstError error_;
};

std::size_t gather_chunk(std::size_t groups, std::uint64_t threads) {
  const std::size_t k = std::min<std::uint64_t>(std::max<std::uint64_t>(threads, 1), groups);
  return k == 0 ? 1 : (groups + k - 1) / k;
}

Result<void> ZiruvGather::gather_pp(std::span<const std::uint64_t> rowids, std::span<std::byte> out,
                                    std::uint64_t threads) const {
  if (rowids.empty()) return {};
  GatherRun run(*this, rowids);

  const std::size_t groups = run.group_count();
  const std::size_t chunk = gather_chunk(groups, threads);
  std::vector<Task> tasks;
  tasks.reserve((groups + chunk - 1) / chunk);
  for (std::size_t first = 0; first < groups; first += chunk) {
    const std::size_t last = std::min(first + chunk, groups);
    tasks.emplace_back([&run, first, last] { run.read_groups(first, last); });
  }
  scope_run(std::move(tasks));
  return run.finish(out);
}

}  // namespace quandrel::io
