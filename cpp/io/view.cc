#include "io/view.h"

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "core/messages.h"
#include "io/backend.h"
#include "io/first_error.h"
#include "io/pool.h"

namespace quandrel::io {

namespace {

// Below this many records a batch is read on the calling thread: the hand-off
// to the pool would cost more than the reads.
constexpr std::size_t kMinParallelRecords = 4;

Result<void> check_index(const ViewReader& view, std::uint64_t index) {
  if (index >= view.count()) {
    return IoError::invalid_input(msg::view_index_out_of_range(index, view.count()));
  }
  return {};
}

// Reads records indices[j] into output[j * slot_bytes, (j + 1) * slot_bytes)
// until the first failure. `output` holds exactly indices.size() slots.
Result<void> read_run(int fd, std::uint64_t slot_bytes, std::span<const std::uint64_t> indices,
                      std::span<std::byte> output) {
  for (std::size_t j = 0; j < indices.size(); ++j) {
    Result<void> ok =
        read_exact_at(fd, output.subspan(j * slot_bytes, slot_bytes), indices[j] * slot_bytes);
    if (!ok) return ok;
  }
  return {};
}

}  // namespace

Result<ViewReader> ViewReader::open(const std::string& path) {
  // The manifest is consulted before the view file is opened.
  Result<ManifestInfo> manifest = read_manifest(path);
  if (!manifest) return manifest.error();
  const SlotInfo info = manifest->slot;
  Result<File> file = File::open_read_only(path);
  if (!file) return IoError(file.error()).with_path("view file", path);
  struct stat st;
  if (::fstat(file->fd(), &st) != 0) return IoError::last_os().with_path("view file", path);

  // Bytes after the last whole slot are never read.
  std::uint64_t count =
      info.slot_bytes == 0 ? 0 : static_cast<std::uint64_t>(st.st_size) / info.slot_bytes;
  if (info.grans != 0) count = std::min(count, info.grans);
  return ViewReader(info.slot_bytes, count, std::move(*file));
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
  Result<void> ok =
      read_exact_at(view.fd(), destination.first(length), index * view.slot_bytes());
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

  const std::uint64_t workers = std::min<std::uint64_t>(std::max<std::uint64_t>(n, 1),
                                                         std::max<std::uint64_t>(parallelism, 1));
  if (n < kMinParallelRecords || workers < 2) return read_run(view.fd(), slot, indices, output);

  // Runs of nearly equal length, at most `workers` of them, so one batch
  // cannot flood the pool with one task per record. n >= 4 and slot >= 1
  // (an index passed the check), so no run or piece is empty.
  const std::size_t chunk = (n + workers - 1) / workers;
  auto first_error = std::make_shared<FirstError>();
  std::vector<Task> tasks;
  tasks.reserve(workers);
  for (std::size_t begin = 0; begin < n; begin += chunk) {
    const std::span<const std::uint64_t> run = indices.subspan(begin, std::min(chunk, n - begin));
    const std::span<std::byte> piece = output.subspan(begin * slot, run.size() * slot);
    // The task borrows the caller's indices, output and file: scope_run
    // returns only after every task has been destroyed.
    tasks.emplace_back([fd = view.fd(), slot, run, piece, first_error] {
      if (Result<void> ok = read_run(fd, slot, run, piece); !ok) first_error->record(ok.error());
    });
  }
  scope_run(std::move(tasks));
  // The first failure recorded, not necessarily the one at the lowest index.
  return first_error->take();
}

}  // namespace quandrel::io
