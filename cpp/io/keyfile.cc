#include "io/keyfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <limits>

#include "core/messages.h"
#include "io/file.h"

namespace quandrel::io {

namespace {

constexpr std::size_t kBufferBytes = 8192;

// The UTF-8 encodings of the White_Space characters above U+007F.
constexpr std::array<std::string_view, 19> kWideSpaces = {
    "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
    "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A",
    "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The byte length of the white-space character at the front (or back) of
// `s`, 0 if there is none. On valid UTF-8 a match at the back is a whole
// character, because every listed encoding starts with a lead byte.
std::size_t space_at(std::string_view s, bool back) {
  if (s.empty()) return 0;
  const char edge = back ? s.back() : s.front();
  if (static_cast<unsigned char>(edge) < 0x80) return is_ascii_space(edge) ? 1 : 0;
  auto matches = [&](std::string_view w) { return back ? s.ends_with(w) : s.starts_with(w); };
  for (std::string_view w : kWideSpaces) {
    if (matches(w)) return w.size();
  }
  return 0;
}

std::string_view trim(std::string_view s) {
  while (std::size_t k = space_at(s, /*back=*/false)) s.remove_prefix(k);
  while (std::size_t k = space_at(s, /*back=*/true)) s.remove_suffix(k);
  return s;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < len) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (std::size_t i = 2; i < len; ++i) {
      if (p[i] < 0x80 || p[i] > 0xBF) return false;
    }
    p += len;
  }
  return true;
}

// Unlike File::open_read_only, a FIFO is welcome: keys are read in order, and
// process substitution hands them over through one.
Result<File> open_stream(const std::string& path) {
  if (std::memchr(path.data(), '\0', path.size()) != nullptr) {
    return IoError::invalid_input(msg::kNulInFileName);
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return IoError::last_os();
  return File(fd);
}

// The line's key appended to `keys`, nothing for a blank line, or the error
// that ends the whole read. `line` has no LF; a CR before it is white space,
// so trimming removes it with the rest.
Result<void> take_line(std::string_view line, std::vector<std::uint64_t>& keys) {
  if (!valid_utf8(line)) return IoError::other(msg::kInvalidUtf8);
  bool blank = false;
  Result<std::uint64_t> key = parse_key_line(line, blank);
  if (!key) return key.error();
  if (!blank) keys.push_back(*key);
  return {};
}

}  // namespace

Result<std::uint64_t> parse_key_line(std::string_view line, bool& blank) {
  const std::string_view s = trim(line);
  blank = s.empty();
  if (blank) return 0;
  // A lone "+" leaves no digits and fails like any other non-digit.
  const std::string_view digits = s.front() == '+' && s.size() > 1 ? s.substr(1) : s;
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return IoError::other(msg::kInvalidDigit);
    if (__builtin_mul_overflow(value, 10, &value) ||
        __builtin_add_overflow(value, static_cast<std::uint64_t>(c - '0'), &value)) {
      return IoError::other(msg::kNumberTooLarge);
    }
  }
  return value;
}

// A file that cannot be read to its end is an error, never a short success:
// the keys before a bad line would otherwise pass for the whole file.
// The messages of a bad line do not say where it is; the note does, so that
// a file of millions of keys need not be searched by hand.
Result<std::vector<std::uint64_t>> read_keys(const std::string& path) {
  Result<File> file = open_stream(path);
  if (!file) return IoError(file.error()).with_path("key file", path);

  std::vector<std::uint64_t> keys;
  std::array<char, kBufferBytes> buffer;
  std::string partial;  // the start of a line that straddles reads
  std::uint64_t line = 0;  // of the last line taken, counting from 1
  auto bad_line = [&](const IoError& e) {
    return IoError(e).with_path("key file", path + ", line " + std::to_string(line));
  };
  for (;;) {
    const ssize_t n = ::read(file->fd(), buffer.data(), buffer.size());
    if (n < 0) return IoError::last_os().with_path("key file", path);
    if (n == 0) break;
    std::string_view rest(buffer.data(), static_cast<std::size_t>(n));
    for (std::size_t lf = rest.find('\n'); lf != rest.npos; lf = rest.find('\n')) {
      Result<void> ok;
      ++line;
      if (partial.empty()) {
        ok = take_line(rest.substr(0, lf), keys);
      } else {
        partial.append(rest.substr(0, lf));
        ok = take_line(partial, keys);
        partial.clear();
      }
      if (!ok) return bad_line(ok.error());
      rest.remove_prefix(lf + 1);
    }
    partial.append(rest);
  }
  // The last line needs no terminator.
  if (!partial.empty()) {
    ++line;
    if (Result<void> ok = take_line(partial, keys); !ok) return bad_line(ok.error());
  }
  return keys;
}

}  // namespace quandrel::io
