// Opening a view with a fuzzed manifest beside it, then reading records.
//
// Input: two bytes give the view file's length (0 ... 8191), the rest is the
// manifest. Byte i of the view file is a function of i, so every record read
// can be checked.

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <string>
#include <vector>

#include "common.h"
#include "io/view/view.h"

namespace {

using namespace quandrel;
using namespace quandrel::io;

std::byte file_byte(std::uint64_t i) { return static_cast<std::byte>((i * 131 + (i >> 8)) & 0xFF); }

// Reads whose buffers stay small, whatever slot size the manifest declares.
constexpr std::uint64_t kMaxCheckedBytes = 1 << 16;

void check_record(const ViewReader& view, std::uint64_t index, std::span<const std::byte> got) {
  for (std::uint64_t k = 0; k < got.size(); ++k) {
    if (got[k] != file_byte(index * view.slot_bytes() + k)) {
      fuzz::mismatch("record byte", std::to_string(index) + ":" + std::to_string(k));
    }
  }
}

// The slot size and record count the manifest's text describes: the two
// keys of a JSON object when they hold integers without sign, fraction or
// exponent that fit in 64 bits; the defaults for anything else, a
// byte-order mark included.
std::pair<std::uint64_t, std::uint64_t> described(std::string_view text, std::uint64_t file_size) {
  std::uint64_t slot = kDefaultSlotBytes, grans = 0;
  const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
  if (!text.starts_with("\xEF\xBB\xBF") && !doc.is_discarded() && doc.is_object()) {
    if (doc.contains("slot_bytes") && doc["slot_bytes"].is_number_unsigned()) slot = doc["slot_bytes"];
    if (doc.contains("grans") && doc["grans"].is_number_unsigned()) grans = doc["grans"];
  }
  std::uint64_t count = slot == 0 ? 0 : file_size / slot;
  if (grans != 0 && grans < count) count = grans;
  return {slot, count};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint64_t file_size = (data[0] | (std::uint64_t{data[1]} << 8)) & 0x1FFF;
  std::string contents(file_size, '\0');
  for (std::uint64_t i = 0; i < file_size; ++i) contents[i] = static_cast<char>(file_byte(i));
  const std::string view_path = fuzz::write_file("records.bin", contents);
  fuzz::write_file("records.manifest.json",
                   std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2));

  Result<ViewReader> opened = ViewReader::open(view_path);
  if (!opened) fuzz::mismatch("open failed", opened.error().text());
  const ViewReader& view = *opened;
  const std::uint64_t slot = view.slot_bytes();
  const std::uint64_t count = view.count();
  const auto [want_slot, want_count] = described(
      std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2), file_size);
  if (slot != want_slot || count != want_count) {
    fuzz::mismatch("slot or count", std::to_string(slot) + " " + std::to_string(count) + " vs " +
                                        std::to_string(want_slot) + " " + std::to_string(want_count));
  }

  // The first and last records, and the first index past the end.
  std::vector<std::byte> buffer(std::min(slot, kMaxCheckedBytes) + 1);
  for (std::uint64_t index : {std::uint64_t{0}, count - 1, count}) {
    // A slot size no batch could hold faults instead; the binding shows it.
    if (slot <= static_cast<std::uint64_t>(PTRDIFF_MAX)) {
      Result<std::uint64_t> checked = view.batch_bytes({&index, 1});
      if (checked ? index >= count
                  : index < count || checked.error().kind() != IoError::Kind::kInvalidInput) {
        fuzz::mismatch("index check", std::to_string(index));
      }
    }
    if (index >= count) continue;
    Result<std::uint64_t> n = view.read_record(index, buffer);
    if (!n) fuzz::mismatch("read_record failed", n.error().text());
    if (*n != std::min<std::uint64_t>(buffer.size(), slot)) fuzz::mismatch("read_record length");
    check_record(view, index, std::span(buffer).first(*n));
  }

  // A batch with repeats, in and out of order, through the serial and the
  // parallel path.
  if (count == 0 || slot > kMaxCheckedBytes / 8) return 0;
  std::vector<std::uint64_t> indices;
  for (std::size_t i = 2; i < std::min<std::size_t>(size, 10); ++i) indices.push_back(data[i] % count);
  std::vector<std::byte> out(indices.size() * slot);
  for (std::uint64_t parallelism : {1, 4}) {
    std::fill(out.begin(), out.end(), std::byte{0xEE});
    Result<void> ok = view.read_records(indices, out, parallelism);
    if (!ok) fuzz::mismatch("read_records failed", ok.error().text());
    for (std::size_t j = 0; j < indices.size(); ++j) {
      check_record(view, indices[j], std::span(out).subspan(j * slot, slot));
    }
  }
  // One slot too few is refused before anything is read.
  if (!indices.empty()) {
    Result<void> ok = view.read_records(indices, std::span(out).first(out.size() - 1));
    if (ok) fuzz::mismatch("short output accepted");
  }
  return 0;
}
