// Record views: one flat file of fixed-size slots, described by an optional
// JSON manifest beside it, and the reads of one record or a batch of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/error.h"
#include "io/read/backend.h"
#include "io/read/read_file.h"
#include "io/read/read_stats.h"
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
  // Maps the file where should_map says so and it can be mapped. Every read
  // goes through `backend`.
  static Result<ViewReader> open(const std::string& path, ReaderMode mode = ReaderMode::kAuto,
                                 std::shared_ptr<const IoBackend> backend = pread_backend());

  std::uint64_t slot_bytes() const { return slot_bytes_; }
  std::uint64_t count() const { return count_; }
  // Whether records are copied from a mapping (else read with pread).
  bool mapped() const { return file_.mapped(); }
  // Counters of the record reads since opening.
  ReadStats& stats() const { return *stats_; }

  // The bytes a batch of `indices` needs, after checking every index: the
  // range error of the first index that is not below count(). Faults with
  // "capacity overflow" when that many bytes could not be held in memory.
  // Call it before allocating for the batch.
  Result<std::uint64_t> batch_bytes(std::span<const std::uint64_t> indices) const;

  // Copies min(destination size, slot_bytes) bytes of record `index` into
  // the front of `destination` and returns that count. The index must have
  // passed batch_bytes.
  Result<std::uint64_t> read_record(std::uint64_t index, std::span<std::byte> destination) const;

  // Record indices[i] goes to bytes [i * slot_bytes, (i + 1) * slot_bytes)
  // of `output`; the indices must have passed batch_bytes. An output too
  // small fails with "read_records: output buffer too small" before
  // anything is read. A batch reports at most one error (with a note naming
  // the view file), and on error `output` is undefined. The calling thread
  // and at most `parallelism` - 1 helpers (0 counts as 1) read; a batch too
  // small for helpers to pay is read on the calling thread alone.
  Result<void> read_records(std::span<const std::uint64_t> indices, std::span<std::byte> output,
                            std::uint64_t parallelism = kDefaultParallelism) const;

 private:
  ViewReader(std::uint64_t slot_bytes, std::uint64_t count, ReadFile file,
             std::shared_ptr<const IoBackend> backend)
      : slot_bytes_(slot_bytes), count_(count), file_(std::move(file)), backend_(std::move(backend)),
        stats_(std::make_unique<ReadStats>(slot_bytes)) {}

  // Reads `indices` into `output` (exactly their slots), re-reading them
  // positionally when a mapped copy met a file cut short under its mapping.
  Result<void> read_slots(std::span<const std::uint64_t> indices, std::uint64_t slot,
                          std::span<std::byte> output, std::uint64_t parallelism) const;
  // Whether reads through the mapping that ended at or before `end` gave
  // what pread gives. A file cut short under the mapping reads as zeros, not
  // as the end of the file, from its new end to the end of that page; so
  // after copying, the file must still reach `end`.
  bool mapped_reads_hold(std::uint64_t end) const;

  std::uint64_t slot_bytes_;
  std::uint64_t count_;
  ReadFile file_;
  std::shared_ptr<const IoBackend> backend_;
  std::unique_ptr<ReadStats> stats_;  // on the heap: counters stay put when the reader moves
};

}  // namespace quandrel::io
