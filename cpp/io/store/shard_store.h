// An open store: one read-only file per shard of a directory, and the
// batched read of rows from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/layout.h"
#include "io/read/backend.h"
#include "io/read/items_into.h"
#include "io/read/read_file.h"
#include "io/read/read_stats.h"
#include "io/read/reader_mode.h"

namespace quandrel::io {

// "shard_007.bin": the prefix, the shard number with at least three digits.
std::string shard_file_name(const char* prefix, std::uint64_t shard);

// `name` inside `dir` ("" for the working directory).
std::string join_path(const std::string& dir, const std::string& name);

// The file the store opens for `shard` of `dir`: "shard_NNN.bin" when it
// exists (following symbolic links), else "ziruv_NNN.bin".
std::string shard_path(const std::string& dir, std::uint64_t shard);

// Immutable after opening (but for a mapping retired after a failed copy).
// Any number of reads may run on one ShardStore at once: every read is
// positional or a guarded copy, and nothing else is written.
class ShardStore {
 public:
  // Opens shard_path() of every shard, and maps those that `mode` says to (a
  // file that cannot be mapped is read with pread). On failure whatever was
  // opened is closed. Every read goes through `backend`.
  static Result<ShardStore> open(const std::string& dir, const Layout& layout,
                                 ReaderMode mode = ReaderMode::kAuto,
                                 std::shared_ptr<const IoBackend> backend = pread_backend());

  // The bytes read_rows writes for `rowids`. Faults, before anything is
  // allocated or read, on what no read could serve: a row id outside the
  // table ("index out of bounds: ..."), a zero rows_per_shard, and a result
  // too large to exist ("capacity overflow").
  std::uint64_t output_bytes(std::span<const std::uint64_t> rowids) const;

  // Fills `out` with the rows of `rowids` in order, on the calling thread
  // and at most `threads` - 1 helpers (0 counts as 1). Bytes of a row beyond
  // the end of its shard file read as zeros. Returns the first failed read,
  // with a note naming its shard file. The rowids must have passed
  // output_bytes; an `out` shorter than that is a fault.
  Result<void> read_rows(std::span<const std::uint64_t> rowids, std::span<std::byte> out,
                         std::uint64_t threads) const;

  // As read_rows for each of `batches`, read as one batch: their reads from
  // the device are in flight together. Each batch counts as one call.
  // Returns the first failed read of any of them; a caller that must know
  // whose read failed reads them again one by one.
  Result<void> read_rows(std::span<const ItemsInto> batches, std::uint64_t threads) const;

  // Asks the system to bring the rows of `rowids` into memory, and the pages
  // of mapped rows into this process's page tables, so that a later read of
  // them runs at memory speed. Waits for the device; rows outside the table
  // and failed requests are passed over: it is only a hint.
  void prefetch(std::span<const std::uint64_t> rowids) const;

  const Layout& layout() const { return layout_; }
  std::size_t shard_count() const { return files_.size(); }
  // Whether any shard is read through a mapping.
  bool mapped() const;
  // Counters of every read_rows since opening; other read paths record
  // their calls here too.
  ReadStats& stats() const { return *stats_; }

 private:
  ShardStore(std::vector<ReadFile> files, const Layout& layout,
             std::shared_ptr<const IoBackend> backend)
      : files_(std::move(files)), layout_(layout), backend_(std::move(backend)),
        stats_(std::make_unique<ReadStats>(layout.row_bytes)) {}

  // The read of `rowids` through the slot loop, into `out`, or, with
  // `places`, row p into places[p]; `in_row_order`: the ids are sorted and
  // no shard is mapped. Records calls of the sizes given, which together
  // asked for exactly these rows.
  Result<void> read_batch(std::span<const std::uint64_t> rowids, std::byte* out,
                          std::byte* const* places, std::uint64_t threads,
                          std::span<const std::size_t> call_sizes, bool in_row_order) const;
  // The rows of `batches` (n in all), put in id order, then read by read_batch.
  Result<void> read_in_row_order(std::span<const ItemsInto> batches, std::size_t n,
                                 std::uint64_t threads, std::span<const std::size_t> call_sizes) const;

  std::vector<ReadFile> files_;  // closed in shard order
  Layout layout_;
  std::shared_ptr<const IoBackend> backend_;
  std::unique_ptr<ReadStats> stats_;  // on the heap: counters stay put when the store moves
};

}  // namespace quandrel::io
