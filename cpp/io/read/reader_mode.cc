#include "io/read/reader_mode.h"

#include <cstdlib>

namespace quandrel::io {

std::optional<ReaderMode> parse_reader_mode(const char* value) {
  if (value == nullptr) return ReaderMode::kAuto;
  const std::string_view v(value);
  if (v.empty() || v == "auto") return ReaderMode::kAuto;
  if (v == "mapped") return ReaderMode::kMapped;
  if (v == "pread") return ReaderMode::kPread;
  return std::nullopt;
}

std::optional<ReaderMode> reader_mode_from_env() {
  return parse_reader_mode(std::getenv(kReaderEnv));
}

}  // namespace quandrel::io
