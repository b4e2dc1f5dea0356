// An open store: one read-only file per shard of a directory, and the
// batched gather of rows from them.
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
#include "io/read/file.h"
#include "io/read/mapping.h"
#include "io/read/reader_mode.h"

namespace quandrel::io {

// "shard_007.bin": the prefix, the shard number with at least three digits.
std::string shard_file_name(const char* prefix, std::uint64_t shard);

// Immutable after opening. Any number of gathers may run on one ShardStore
// at once: every read is positional and nothing is written.
class ShardStore {
 public:
  // Opens, for each shard, "shard_NNN.bin" when it exists (following
  // symbolic links) and "ziruv_NNN.bin" otherwise, and maps those that
  // `mode` says to (a file that cannot be mapped is read with pread). On
  // failure whatever was opened is closed. `layout` must outlive the
  // gatherer. A custom backend reads everything: nothing is mapped.
  static Result<ShardStore> open(const std::string& dir, const Layout& layout,
                                  ReaderMode mode = ReaderMode::kAuto);
  static Result<ShardStore> open_with_backend(const std::string& dir, const Layout& layout,
                                               std::unique_ptr<IoBackend> backend);

  ShardStore(ShardStore&&) = default;
  ~ShardStore();

  // Fills `out` (at least rowids.size() * row_bytes bytes) with the rows of
  // `rowids` in order, on the calling thread and at most `threads` - 1
  // helpers (0 counts as 1).
  // Bytes of a row beyond the end of its shard file read as zeros. Returns
  // the first failed read. Faults, before reading anything, on a row id
  // outside the table, on a zero rows_per_shard, and on an output slot
  // outside `out`.
  Result<void> read_rows(std::span<const std::uint64_t> rowids, std::span<std::byte> out,
                         std::uint64_t threads) const;

  const Layout& layout() const { return *layout_; }
  std::size_t shard_count() const { return files_.size(); }
  // One per shard when the store reads through mappings, else empty. An
  // unmapped shard has an empty mapping, which covers nothing.
  std::span<const Mapping> mappings() const { return maps_; }

 private:
  ShardStore(std::vector<File> files, std::vector<Mapping> maps, const Layout& layout,
              std::unique_ptr<IoBackend> backend)
      : files_(std::move(files)), maps_(std::move(maps)), layout_(&layout),
        backend_(std::move(backend)) {}

  std::vector<File> files_;
  std::vector<Mapping> maps_;  // after files_: each borrows its shard's descriptor
  const Layout* layout_;
  std::unique_ptr<IoBackend> backend_;

  friend class RowRead;
};

}  // namespace quandrel::io
