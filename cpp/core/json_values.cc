#include "core/json_values.h"

#include <string_view>

namespace quandrel::io {

std::string json_error_text(const nlohmann::json::exception& e) {
  // "[json.exception.parse_error.101] parse error at line 1, ..."
  std::string_view what = e.what();
  if (const std::size_t close = what.find("] "); what.starts_with("[") && close != what.npos) {
    what.remove_prefix(close + 2);
  }
  return std::string(what);
}

std::string shown(const nlohmann::json& value) {
  constexpr std::size_t kShown = 40;
  std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  if (text.size() > kShown) text = text.substr(0, kShown) + "...";
  return text;
}

std::optional<std::uint64_t> unsigned_key(const nlohmann::json& doc, const char* key,
                                          std::string& problems) {
  const auto it = doc.find(key);
  if (it == doc.end()) return std::nullopt;
  if (it->is_number_unsigned()) return it->get<std::uint64_t>();
  if (!problems.empty()) problems += "; ";
  problems += std::string(key) + " is not an integer from 0 to 2^64 - 1 without sign, fraction " +
              "or exponent (it is " + shown(*it) + ")";
  return std::nullopt;
}

}  // namespace quandrel::io
