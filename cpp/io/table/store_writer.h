// Writing a new table: shard files in a staging directory beside the table's
// place, then a manifest, then one rename that makes the table appear whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "io/read/file.h"
#include "io/table/store_manifest.h"

namespace quandrel::io {

// Not thread-safe: one call at a time (the binding holds a lock around each).
// Memory stays bounded by the chunk bookkeeping (17 bytes per 4 MiB) and one
// chunk buffer at commit: rows go from the caller's buffer straight to the
// files.
class StoreWriter {
 public:
  enum class State { kOpen, kCommitted, kAborted };

  // "" when a writer can write a table of this geometry: its size fits in 64
  // bits and its manifest in what a reader accepts.
  static std::string geometry_problem(const StoreGeometry& g);

  // Fails with EEXIST (note: the table's path) when anything is at `dir`,
  // and with the OS error of any step that fails; nothing is left behind.
  // The geometry must pass geometry_problem (it faults otherwise).
  static Result<StoreWriter> create(const std::string& dir, const StoreGeometry& g);

  StoreWriter(StoreWriter&&) = default;
  StoreWriter& operator=(StoreWriter&&) = delete;
  ~StoreWriter();  // an open writer is aborted

  const StoreGeometry& geometry() const { return geometry_; }
  State state() const { return state_; }

  // "" when rows [start_row, start_row + bytes / width) lie in the table and
  // `bytes` is a multiple of the width; else what is wrong.
  std::string write_problem(std::uint64_t start_row, std::size_t bytes) const;
  // "" when every id lies in the table and `bytes` is ids.size() * width.
  std::string write_at_problem(std::span<const std::uint64_t> rowids, std::size_t bytes) const;

  // Both need their problem to be "" (they fault otherwise) and an open writer.
  Result<void> write(std::uint64_t start_row, std::span<const std::byte> rows);
  Result<void> write_at(std::span<const std::uint64_t> rowids, std::span<const std::byte> rows);

  // Digests what is not yet digested, flushes every file and the manifest,
  // renames the staging directory to the table's path without replacing
  // anything there, and flushes the parent. On a failure before the rename
  // the staging directory is removed. The writer is closed either way.
  Result<void> commit();
  // Removes the staging directory; nothing once closed.
  Result<void> abort();

 private:
  enum class Chunk : std::uint8_t { kZero, kStale, kKnown };

  StoreWriter(std::string dir, std::string name, File parent, const StoreGeometry& g)
      : dir_(std::move(dir)), name_(std::move(name)), parent_(std::move(parent)), geometry_(g) {}

  Result<void> put(std::uint64_t shard, std::uint64_t offset, std::span<const std::byte> bytes);
  Result<void> finish_shard(std::uint64_t shard, std::vector<std::byte>& buffer);
  Result<void> write_manifest();
  Result<void> publish();
  std::string staged_path(const std::string& name) const;

  std::string dir_;          // as the caller named it, for notes
  std::string name_;         // the table directory's name in its parent
  std::string staging_;      // the staging directory's name in the parent
  std::string staging_path_;  // and its path, for notes
  File parent_;              // the parent directory
  File staging_fd_;          // the staging directory
  StoreGeometry geometry_;
  std::uint64_t chunks_per_shard_ = 0;
  std::vector<File> files_;  // one per shard
  std::vector<Chunk> chunk_state_;       // shard * chunks_per_shard_ + chunk
  std::vector<Digest128> chunk_digest_;  // valid where kKnown
  State state_ = State::kOpen;
};

}  // namespace quandrel::io
