// Record views: one flat file of fixed-size slots, described by an optional
// JSON manifest beside it, and the reads of one record or a batch of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/error.h"
#include "io/read/file.h"
#include "io/read/mapping.h"
#include "io/read/reader_mode.h"

namespace quandrel::io {

inline constexpr std::uint64_t kDefaultSlotBytes = 2560;
inline constexpr std::uint64_t kDefaultParallelism = 32;

struct SlotInfo {
  std::uint64_t slot_bytes = kDefaultSlotBytes;
  std::uint64_t grans = 0;  // 0: the manifest states no record count
};

// "records.bin" -> "records.manifest.json", "records" -> "records.manifest.json".
std::string manifest_path(const std::string& view_path);

// A manifest larger than this is not a manifest: reading stops one byte past
// it, so a link to an endless file costs no more than this.
inline constexpr std::size_t kManifestMaxBytes = std::size_t{1} << 20;

// What the manifest beside a view says, and whether a view opened now uses it.
struct ManifestInfo {
  enum class State { kAbsent, kUsed, kIgnored };
  std::string path;
  State state = State::kAbsent;
  // What a view opened now uses: the defaults, or a key's value wherever the
  // manifest gives an accepted one (a manifest can be ignored for one key and
  // used for the other).
  SlotInfo slot;
  std::string reason;  // kIgnored only: what is wrong, in words
};

// A manifest that is missing, or a path with no file name to derive one from,
// is absent. One that exists but cannot be opened or read (no permission, a
// directory, a FIFO, a read error) fails with the OS error and the manifest's
// path attached; a malformed one never fails and is ignored.
Result<ManifestInfo> read_manifest(const std::string& view_path);

// An open view. Immutable after `open` (but for a mapping retired after a
// failed copy); reads are positional or guarded copies, so one reader may be
// read from several threads at once.
class ViewReader {
 public:
  // Maps the file when `mode` says to and it can be mapped.
  static Result<ViewReader> open(const std::string& path, ReaderMode mode = ReaderMode::kAuto);

  std::uint64_t slot_bytes() const { return slot_bytes_; }
  std::uint64_t count() const { return count_; }
  int fd() const { return file_.fd(); }
  // Empty (covering nothing) when the view is read with pread alone.
  const Mapping& mapping() const { return map_; }

  // read_exact_at on the view file, through the mapping where it covers the
  // range (unless `pread_only`).
  Result<void> read_exact_at(std::span<std::byte> buffer, std::uint64_t offset,
                             bool pread_only = false) const;

  // Whether reads through the mapping that ended at or before `end` gave what
  // pread gives. A file cut short under the mapping reads as zeros, not as
  // the end of the file, from its new end to the end of that page; so after
  // copying, the file must still reach `end`. Always true without a mapping.
  bool mapped_reads_hold(std::uint64_t end) const;

 private:
  ViewReader(std::uint64_t slot_bytes, std::uint64_t count, File file)
      : slot_bytes_(slot_bytes), count_(count), file_(std::move(file)) {}

  std::uint64_t slot_bytes_;
  std::uint64_t count_;
  File file_;
  Mapping map_;  // after file_, whose descriptor it borrows
};

// The range error of the first index that is not below count(), if any.
Result<void> check_indices(const ViewReader& view, std::span<const std::uint64_t> indices);

// Copies min(destination size, slot_bytes) bytes of record `index` into the
// front of `destination` and returns that count.
Result<std::uint64_t> read_record(const ViewReader& view, std::uint64_t index,
                                  std::span<std::byte> destination);

// Record indices[i] goes to bytes [i * slot_bytes, (i + 1) * slot_bytes) of
// `output`. Every index is checked before the first read; a batch reports at
// most one error, and on error `output` is undefined. The calling thread and
// at most `parallelism` - 1 helpers (0 counts as 1) read; a batch too small
// for helpers to pay is read on the calling thread alone.
Result<void> read_records_parallel(const ViewReader& view, std::span<const std::uint64_t> indices,
                                   std::span<std::byte> output, std::uint64_t parallelism);

inline Result<void> read_records(const ViewReader& view, std::span<const std::uint64_t> indices,
                                 std::span<std::byte> output) {
  return read_records_parallel(view, indices, output, kDefaultParallelism);
}

}  // namespace quandrel::io
