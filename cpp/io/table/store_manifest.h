// The store manifest, quandrel-store.json: a table's geometry, its shard
// files with their sizes, and a digest of every chunk of every file. The
// writer writes it last, so a directory that has one holds a whole table;
// its bytes depend on the table alone (no time, fixed key order), so that
// equal tables have equal manifests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/error.h"
#include "io/table/digest.h"

namespace quandrel::io {

inline constexpr char kStoreManifestName[] = "quandrel-store.json";
inline constexpr std::uint64_t kChunkBytes = std::uint64_t{4} << 20;
// About 3.8 million chunks: tables up to some 15 TB. A longer file is refused
// before any of it is read.
inline constexpr std::uint64_t kStoreManifestMaxBytes = std::uint64_t{128} << 20;

struct StoreGeometry {
  std::uint64_t shards = 0;
  std::uint64_t rows_per_shard = 0;
  std::uint64_t width = 0;  // bytes per row

  std::uint64_t shard_bytes() const { return rows_per_shard * width; }
  bool operator==(const StoreGeometry&) const = default;
  // "4 shards of 1000 rows x 64 bytes"
  std::string text() const;
};

// "" when the table's size fits in 64 bits, else what is wrong.
std::string geometry_problem(const StoreGeometry& g);

// Chunks of a file of `bytes` bytes: the last one may be short, an empty file
// has none.
inline std::uint64_t chunk_count(std::uint64_t bytes, std::uint64_t chunk_bytes) {
  return bytes / chunk_bytes + (bytes % chunk_bytes != 0);
}

struct ShardFile {
  std::string name;  // a plain file name in the table's directory
  std::uint64_t bytes = 0;
  std::vector<Digest128> chunks;
};

struct StoreManifest {
  StoreGeometry geometry;
  std::uint64_t chunk_bytes = kChunkBytes;
  std::vector<ShardFile> files;  // one per shard, in shard order
};

std::string store_manifest_path(const std::string& dir);

// The manifest's bytes, compact JSON in the order its keys are documented.
std::string manifest_json(const StoreManifest& m);

// Why `text` is not a valid manifest ("" when it is one; `out` then holds it).
std::string parse_store_manifest(const std::string& text, StoreManifest& out);

struct LoadedManifest {
  StoreManifest manifest;
  std::string problem;  // non-empty: the file is no valid manifest, and why
};

// Reads `dir`'s manifest. Absent: the OS error (ENOENT), with the manifest's
// path in the note, as for any file it cannot open or read. A file over
// kStoreManifestMaxBytes is a problem found without reading it.
Result<LoadedManifest> load_store_manifest(const std::string& dir);

// "shard_001.bin: 799 bytes, the manifest says 800", or "" when they agree.
std::string size_problem(const ShardFile& f, std::uint64_t actual);
// Why shard `shard` of `dir` is not the file `f` names ("" when it is): the
// store opens the other of its two names.
std::string name_problem(const std::string& dir, std::uint64_t shard, const ShardFile& f);

// Whether load_store_manifest's error means there is no manifest: none in
// the directory, or no such directory.
bool is_absent(const IoError& e);

// Whether the manifest's files are the ones a store opens, of the sizes it
// gives: "" when they are, else the first disagreement. A file the system
// will not describe is that OS error, with the file's path in the note.
Result<std::string> file_size_problem(const std::string& dir, const StoreManifest& m);

// For a store opened with geometry `g`: "" when `dir` has no manifest or one
// of that geometry; otherwise why the two disagree (or why the manifest is
// no manifest).
Result<std::string> geometry_mismatch(const std::string& dir, const StoreGeometry& g);

}  // namespace quandrel::io
