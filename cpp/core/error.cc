#include "core/error.h"

#include <cerrno>
#include <cstring>

namespace quandrel {

IoError IoError::last_os() { return os(errno); }

std::string os_error_description(int code) {
  char buf[256];
  // GNU strerror_r: returns a pointer that may or may not point into buf.
  const char* s = ::strerror_r(code, buf, sizeof buf);
  return std::string(s);
}

std::string IoError::text() const {
  if (kind_ != Kind::kOs) return message_;
  return os_error_description(code_) + " (os error " + std::to_string(code_) + ")";
}

void fault(const std::string& text) { throw Fault(text); }

}  // namespace quandrel
