#include "io/view/view.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "core/messages.h"
#include "io/pool/worker_pool.h"
#include "io/read/slot_batch.h"

namespace quandrel::io {

namespace {

// Helpers pay for their wake-up (tens of microseconds) only with this much
// work each: about this many bytes copied from memory, or this many reads
// that each wait for the system. Hot parts of about kHotBytesPerPart.
constexpr std::uint64_t kHotBytesPerHelper = 1 << 20;
constexpr std::uint64_t kHotBytesPerPart = 128 << 10;
constexpr std::size_t kReadsPerHelper = 8;

Spread spread_for(bool mapped, std::uint64_t slot) {
  if (!mapped) return {.hot_per_helper = kReadsPerHelper, .hot_per_part = 1, .cold_per_part = 1};
  return {.hot_per_helper = std::max<std::uint64_t>(kHotBytesPerHelper / slot, 1),
          .hot_per_part = std::max<std::uint64_t>(kHotBytesPerPart / slot, 1),
          .cold_per_part = 1};
}

}  // namespace

Result<ViewReader> ViewReader::open(const std::string& path, ReaderMode mode,
                                    std::shared_ptr<const IoBackend> backend) {
  // The manifest is consulted before the view file is opened.
  Result<ManifestInfo> manifest = read_manifest(path);
  if (!manifest) return manifest.error();
  const SlotInfo info = manifest->slot;
  Result<ReadFile> file = ReadFile::open(path, "view file", mode);
  if (!file) return file.error();
  struct stat st;
  if (::fstat(file->file.fd(), &st) != 0) return IoError::last_os().with_note(file->note);
  // Bytes after the last whole slot are never read.
  std::uint64_t count =
      info.slot_bytes == 0 ? 0 : static_cast<std::uint64_t>(st.st_size) / info.slot_bytes;
  if (info.grans != 0) count = std::min(count, info.grans);
  return ViewReader(info.slot_bytes, count, std::move(*file), std::move(backend));
}

bool ViewReader::mapped_reads_hold(std::uint64_t end) const {
  if (!mapped()) return true;
  struct stat st;
  return ::fstat(file_.file.fd(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) >= end;
}

Result<std::uint64_t> ViewReader::batch_bytes(std::span<const std::uint64_t> indices) const {
  std::uint64_t size = 0;
  if (__builtin_mul_overflow(slot_bytes_, indices.size(), &size) ||
      size > static_cast<std::uint64_t>(PTRDIFF_MAX)) {
    fault(msg::kCapacityOverflow);
  }
  for (std::uint64_t index : indices) {
    if (index >= count_) return IoError::invalid_input(msg::view_index_out_of_range(index, count_));
  }
  return size;
}

Result<std::uint64_t> ViewReader::read_record(std::uint64_t index,
                                              std::span<std::byte> destination) const {
  const std::uint64_t length = std::min<std::uint64_t>(destination.size(), slot_bytes_);
  if (Result<void> ok = read_slots({&index, 1}, length, destination.first(length), 1); !ok) {
    return ok.error();
  }
  return length;
}

Result<void> ViewReader::read_records(std::span<const std::uint64_t> indices,
                                      std::span<std::byte> output, std::uint64_t parallelism) const {
  // A product that does not fit in 64 bits could never fit in the output.
  std::uint64_t needed = 0;
  if (__builtin_mul_overflow(slot_bytes_, indices.size(), &needed) || output.size() < needed) {
    return IoError::invalid_input(msg::kOutputBufferTooSmall);
  }
  return read_slots(indices, slot_bytes_, output.first(needed), parallelism);
}

Result<void> ViewReader::read_slots(std::span<const std::uint64_t> indices, std::uint64_t slot,
                                    std::span<std::byte> output, std::uint64_t parallelism) const {
  const std::size_t n = indices.size();
  if (n == 0 || slot == 0) return {};
  const std::uint64_t record = slot_bytes_;
  // An index past count() (not checked) is past any file offset when its
  // offset would overflow, and otherwise meets the end of the file.
  auto locate = [indices, record](std::size_t p) {
    SlotSource s;
    s.beyond = __builtin_mul_overflow(indices[p], record, &s.offset) ||
               s.offset > static_cast<std::uint64_t>(INT64_MAX) - record;
    return s;
  };
  const std::span<const ReadFile> files(&file_, 1);
  const std::size_t helpers = std::max<std::uint64_t>(parallelism, 1) - 1;
  // As in the store: the pool starts with the first batch that may use it.
  if (helpers > 0) (void)pool::worker_count();
  SlotBatch batch(*backend_, files, slot, output.data(), locate, {.past_end = PastEnd::kError});
  Result<void> ok = batch.run(n, helpers, spread_for(mapped(), slot));
  std::uint64_t ns = batch.elapsed_ns();
  if (ok && batch.maybe_cut() &&
      !mapped_reads_hold((*std::max_element(indices.begin(), indices.end()) + 1) * record)) {
    SlotBatch reread(*backend_, files, slot, output.data(), locate,
                     {.past_end = PastEnd::kError, .positional_only = true});
    (void)reread.read(0, n);
    ok = reread.take_error();
    ns = now_ns() - batch.started_ns();
  }
  stats_->record({n, batch.slots_from_device(), !ok, ns});
  return ok;
}

}  // namespace quandrel::io
