// Reading values out of the JSON files the library trusts only so far: its
// manifests. Messages quote at most a short prefix of a bad value.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace quandrel::io {

// A parse error as a reader wants it: "parse error at line 1, ...", without
// the parser's bracketed error number.
std::string json_error_text(const nlohmann::json::exception& e);

// A short rendering of a value for a message, cut after a few dozen bytes.
std::string shown(const nlohmann::json& value);

// Only an integer written without sign, fraction or exponent that fits in 64
// bits counts; "-0", 4096.0, 4e3 and 2^64 parse as other number kinds. A key
// whose value is refused says so in `problems` ("; "-separated); an absent
// key gives nothing and no problem.
std::optional<std::uint64_t> unsigned_key(const nlohmann::json& doc, const char* key,
                                          std::string& problems);

}  // namespace quandrel::io
