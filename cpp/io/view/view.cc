#include "io/view/view.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

#include "core/messages.h"
#include "io/read/backend.h"
#include "io/read/first_error.h"
#include "io/read/huge_pages.h"
#include "io/pool/run_parts.h"
#include "io/pool/worker_pool.h"

namespace quandrel::io {

namespace {

// Helpers pay for their wake-up (tens of microseconds) only with this much
// work each: about this many bytes copied from memory, or this many reads
// that each wait for the system.
constexpr std::uint64_t kHotBytesPerHelper = 1 << 20;
constexpr std::uint64_t kReadsPerHelper = 8;
// Parts are handed out one at a time; hot parts of about this many bytes.
constexpr std::uint64_t kHotBytesPerPart = 128 << 10;
// Records a large batch looks at to tell whether its records are in memory.
constexpr std::size_t kProbeSample = 4;

Result<void> check_index(const ViewReader& view, std::uint64_t index) {
  if (index >= view.count()) {
    return IoError::invalid_input(msg::view_index_out_of_range(index, view.count()));
  }
  return {};
}

// A read through the mapping may have met a file cut short under it only
// when the copied bytes end in a zero (the cut page reads as zeros from the
// new end on). Only then is the file's length worth asking.
bool may_be_cut(const ViewReader& view, std::span<const std::byte> copied, std::uint64_t offset) {
  return !copied.empty() && copied.back() == std::byte{0} &&
         view.mapping().covers(offset, copied.size());
}

// A read that takes this long waited for the disk; the records after it are
// then asked of the disk all at once, so that their reads overlap.
constexpr std::uint64_t kColdNs = 15'000;

std::uint64_t now_ns() {
  timespec t;
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000 + static_cast<std::uint64_t>(t.tv_nsec);
}

struct RunOptions {
  bool pread_only = false;
  bool timed = false;  // on the calling thread alone: ask ahead after a slow read
};

// Reads records indices[j] into output[j * slot_bytes, (j + 1) * slot_bytes)
// until the first failure. `output` holds exactly indices.size() slots. Sets
// `cut` when a mapped copy may have met a file cut short.
Result<void> read_run(const ViewReader& view, std::span<const std::uint64_t> indices,
                      std::span<std::byte> output, RunOptions options, std::atomic<bool>& cut) {
  const std::uint64_t slot = view.slot_bytes();
  bool asked_ahead = !options.timed;
  for (std::size_t j = 0; j < indices.size(); ++j) {
    const std::uint64_t start = asked_ahead ? 0 : now_ns();
    const std::span<std::byte> record = output.subspan(j * slot, slot);
    const std::uint64_t offset = indices[j] * slot;
    Result<void> ok = view.read_exact_at(record, offset, options.pread_only);
    if (!ok) return ok;
    if (!options.pread_only && may_be_cut(view, record, offset)) cut.store(true, std::memory_order_relaxed);
    if (!asked_ahead && now_ns() - start > kColdNs) {
      for (std::size_t k = j + 1; k < indices.size(); ++k) {
        (void)::posix_fadvise(view.fd(), static_cast<off_t>(indices[k] * slot),
                              static_cast<off_t>(slot), POSIX_FADV_WILLNEED);
      }
      asked_ahead = true;
    }
  }
  return {};
}

// Whether the records of a batch are, as far as a sample tells, in memory
// and mapped: then they are copied at memory speed.
bool looks_hot(const ViewReader& view, std::span<const std::uint64_t> indices) {
  const Mapping& m = view.mapping();
  const std::size_t step = std::max<std::size_t>(indices.size() / kProbeSample, 1);
  for (std::size_t i = 0; i < indices.size(); i += step) {
    if (!m.resident(indices[i] * view.slot_bytes(), view.slot_bytes())) return false;
  }
  return true;
}

}  // namespace

Result<ViewReader> ViewReader::open(const std::string& path, ReaderMode mode) {
  // The manifest is consulted before the view file is opened.
  Result<ManifestInfo> manifest = read_manifest(path);
  if (!manifest) return manifest.error();
  const SlotInfo info = manifest->slot;
  Result<File> file = File::open_read_only(path);
  if (!file) return IoError(file.error()).with_path("view file", path);
  struct stat st;
  if (::fstat(file->fd(), &st) != 0) return IoError::last_os().with_path("view file", path);
  Mapping map;
  if (mode == ReaderMode::kMapped || (mode == ReaderMode::kAuto && mapping_advised(file->fd()))) {
    if (Result<Mapping> m = Mapping::open(file->fd())) map = std::move(*m);
  }

  // Bytes after the last whole slot are never read.
  std::uint64_t count =
      info.slot_bytes == 0 ? 0 : static_cast<std::uint64_t>(st.st_size) / info.slot_bytes;
  if (info.grans != 0) count = std::min(count, info.grans);
  ViewReader reader(info.slot_bytes, count, std::move(*file));
  reader.map_ = std::move(map);
  return reader;
}

Result<void> ViewReader::read_exact_at(std::span<std::byte> buffer, std::uint64_t offset,
                                       bool pread_only) const {
  if (map_.fd() >= 0 && !pread_only) return map_.read_exact_at(buffer, offset);
  return io::read_exact_at(file_.fd(), buffer, offset);
}

bool ViewReader::mapped_reads_hold(std::uint64_t end) const {
  if (map_.fd() < 0) return true;
  struct stat st;
  return ::fstat(file_.fd(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) >= end;
}

Result<void> check_indices(const ViewReader& view, std::span<const std::uint64_t> indices) {
  for (std::uint64_t index : indices) {
    if (Result<void> ok = check_index(view, index); !ok) return ok;
  }
  return {};
}

Result<std::uint64_t> read_record(const ViewReader& view, std::uint64_t index,
                                  std::span<std::byte> destination) {
  if (Result<void> ok = check_index(view, index); !ok) return ok.error();
  const std::uint64_t length = std::min<std::uint64_t>(destination.size(), view.slot_bytes());
  // index < count, and count * slot_bytes never exceeds the file size, so the
  // offset cannot overflow.
  const std::uint64_t offset = index * view.slot_bytes();
  Result<void> ok = view.read_exact_at(destination.first(length), offset);
  if (ok && may_be_cut(view, destination.first(length), offset) &&
      !view.mapped_reads_hold(offset + length)) {
    ok = view.read_exact_at(destination.first(length), offset, /*pread_only=*/true);
  }
  if (!ok) return ok.error();
  return length;
}

Result<void> read_records_parallel(const ViewReader& view, std::span<const std::uint64_t> indices,
                                   std::span<std::byte> output, std::uint64_t parallelism) {
  const std::uint64_t slot = view.slot_bytes();
  const std::size_t n = indices.size();
  // A product that does not fit in 64 bits could never fit in the output;
  // treating it as "too small" keeps every later offset inside the buffer.
  std::uint64_t needed = 0;
  if (__builtin_mul_overflow(slot, n, &needed) || output.size() < needed) {
    return IoError::invalid_input(msg::kOutputBufferTooSmall);
  }
  if (Result<void> ok = check_indices(view, indices); !ok) return ok;
  output = output.first(needed);

  if (n == 0 || slot == 0) return {};
  advise_huge_pages(output);
  const std::uint64_t helpers = std::max<std::uint64_t>(parallelism, 1) - 1;
  // As in the gather: the pool starts with the first batch that may use it.
  if (helpers > 0) (void)pool::worker_count();
  const bool mapped = view.mapping().fd() >= 0;
  // Hot mapped records pay for helpers only in large batches: look at a
  // sample of them only then.
  const bool hot = mapped && std::min(helpers, needed / kHotBytesPerHelper) > 0 &&
                   looks_hot(view, indices);
  const std::uint64_t wanted =
      mapped && !hot && needed / kHotBytesPerHelper == 0
          ? 0
          : std::min(helpers, hot ? needed / kHotBytesPerHelper : n / kReadsPerHelper);
  const std::uint64_t end = (*std::max_element(indices.begin(), indices.end()) + 1) * slot;
  std::atomic<bool> cut{false};
  Result<void> ok;
  if (wanted == 0) {
    ok = read_run(view, indices, output, {.timed = true}, cut);
  } else {
    const std::size_t per_part = hot ? std::max<std::uint64_t>(kHotBytesPerPart / slot, 1) : 1;
    FirstError first_error;
    run_parts((n + per_part - 1) / per_part, wanted, [&](std::size_t k) {
      const std::size_t begin = k * per_part;
      const std::size_t count = std::min(per_part, n - begin);
      Result<void> part = read_run(view, indices.subspan(begin, count),
                                   output.subspan(begin * slot, count * slot), {}, cut);
      if (!part) first_error.record(part.error());
    });
    // The first failure recorded, not necessarily the one at the lowest index.
    ok = first_error.take();
  }
  if (ok && cut.load(std::memory_order_relaxed) && !view.mapped_reads_hold(end)) {
    return read_run(view, indices, output, {.pread_only = true}, cut);
  }
  return ok;
}

}  // namespace quandrel::io
