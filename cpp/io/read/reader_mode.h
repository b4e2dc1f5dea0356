// How a Store or View reads its files, chosen by QUANDREL_READER each time
// one is opened (the constructors' signatures are fixed, so the choice
// cannot be an argument).
#pragma once

#include <optional>
#include <string_view>

namespace quandrel::io {

enum class ReaderMode {
  kAuto,    // map where should_map() says so, pread elsewhere
  kMapped,  // map every file that can be mapped, pread the rest
  kPread,   // positional reads only, no mapping
};

inline constexpr char kReaderEnv[] = "QUANDREL_READER";
// The ValueError raised when QUANDREL_READER holds anything else.
inline constexpr char kReaderModeError[] =
    "QUANDREL_READER must be 'auto', 'mapped' or 'pread' (or unset)";

// Unset (nullptr) or empty means auto; nullopt for any other unknown text.
// Exact and case-sensitive, like the values of the other variables.
std::optional<ReaderMode> parse_reader_mode(const char* value);

// parse_reader_mode of the variable as it is now. getenv is not safe against
// a concurrent setenv: call it where such writers are excluded (with the
// interpreter lock held, which Python's os.environ writes also hold).
std::optional<ReaderMode> reader_mode_from_env();

}  // namespace quandrel::io
