#include "io/keyfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <limits>
#include <optional>

#include "core/messages.h"
#include "io/read/file.h"

namespace quandrel::io {

namespace {

constexpr std::size_t kBufferBytes = 8192;

// The UTF-8 encodings of the White_Space characters above U+007F.
constexpr std::array<std::string_view, 19> kWideSpaces = {
    "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
    "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A",
    "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// One line, fed in pieces as they are read. Each byte is judged when it
// arrives, so a line of any length takes no memory, and one that cannot be a
// key fails at the first byte that shows it (or, for a byte above 0x7F, at the
// end of its character): a line of NULs fails after one byte.
class LineParser {
 public:
  Result<void> feed(std::string_view bytes) {
    for (const char c : bytes) {
      const auto u = static_cast<unsigned char>(c);
      if (need_ == 0) {
        if (u < 0x80) {
          if (Result<void> ok = take(c, is_ascii_space(c)); !ok) return ok;
          continue;
        }
        if (!start_char(u)) return IoError::other(msg::kInvalidUtf8);
      } else if (u < lo_ || u > hi_) {
        return IoError::other(msg::kInvalidUtf8);
      } else {
        lo_ = 0x80;  // only the second byte has narrower bounds
        hi_ = 0xBF;
      }
      char_[size_++] = c;
      if (--need_ > 0) continue;
      const std::string_view whole(char_, size_);
      size_ = 0;
      bool space = false;
      for (std::string_view w : kWideSpaces) space = space || w == whole;
      if (Result<void> ok = take('\0', space); !ok) return ok;
    }
    return {};
  }

  // At the line's end: its key, or nullopt for a blank line.
  Result<std::optional<std::uint64_t>> finish() const {
    if (need_ != 0) return IoError::other(msg::kInvalidUtf8);
    switch (state_) {
      case State::kLead: return std::optional<std::uint64_t>();
      case State::kSign: return IoError::other(msg::kInvalidDigit);
      case State::kDigits:
      case State::kTrail: return std::optional<std::uint64_t>(value_);
    }
    return IoError::other(msg::kInvalidDigit);
  }

 private:
  enum class State { kLead, kSign, kDigits, kTrail };

  // Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
  bool start_char(unsigned char c) {
    lo_ = 0x80;
    hi_ = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      need_ = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need_ = 3;
      if (c == 0xE0) lo_ = 0xA0;
      if (c == 0xED) hi_ = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need_ = 4;
      if (c == 0xF0) lo_ = 0x90;
      if (c == 0xF4) hi_ = 0x8F;
    } else {
      return false;
    }
    return true;
  }

  // One character: `c` is the ASCII byte, or '\0' for any wider character.
  Result<void> take(char c, bool space) {
    switch (state_) {
      case State::kLead:
        if (space) return {};
        if (c == '+') {
          state_ = State::kSign;
          return {};
        }
        break;
      case State::kSign:
        break;
      case State::kDigits:
        if (space) {
          state_ = State::kTrail;
          return {};
        }
        break;
      case State::kTrail:
        if (space) return {};
        return IoError::other(msg::kInvalidDigit);
    }
    if (c < '0' || c > '9') return IoError::other(msg::kInvalidDigit);
    state_ = State::kDigits;
    if (__builtin_mul_overflow(value_, 10, &value_) ||
        __builtin_add_overflow(value_, static_cast<std::uint64_t>(c - '0'), &value_)) {
      return IoError::other(msg::kNumberTooLarge);
    }
    return {};
  }

  State state_ = State::kLead;
  std::uint64_t value_ = 0;
  char char_[4] = {};        // the character being read
  std::size_t size_ = 0;     // its bytes so far
  std::size_t need_ = 0;     // its bytes still to come, its lead byte included
  unsigned char lo_ = 0x80;  // bounds of its next byte
  unsigned char hi_ = 0xBF;
};

// Unlike File::open_read_only, a FIFO is welcome: keys are read in order, and
// process substitution hands them over through one. Waiting for its writer is
// why an interrupted open or read asks `keep_going` before trying again.
Result<File> open_stream(const std::string& path, const InterruptCheck& keep_going) {
  if (std::memchr(path.data(), '\0', path.size()) != nullptr) {
    return IoError::invalid_input(msg::kNulInFileName);
  }
  for (;;) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return File(fd);
    if (errno != EINTR) return IoError::last_os();
    if (keep_going && !keep_going()) return IoError::os(EINTR);
  }
}

}  // namespace

// A file that cannot be read to its end is an error, never a short success:
// the keys before a bad line would otherwise pass for the whole file.
// The messages of a bad line do not say where it is; the note does, so that
// a file of millions of keys need not be searched by hand.
Result<std::vector<std::uint64_t>> read_keys(const std::string& path,
                                             const InterruptCheck& keep_going) {
  Result<File> file = open_stream(path, keep_going);
  if (!file) return IoError(file.error()).with_path("key file", path);

  std::vector<std::uint64_t> keys;
  std::array<char, kBufferBytes> buffer;
  LineParser line;
  std::uint64_t number = 1;  // of `line`, counting from 1
  auto bad_line = [&](const IoError& e) {
    return IoError(e).with_path("key file", path + ", line " + std::to_string(number));
  };
  for (;;) {
    const ssize_t n = ::read(file->fd(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) {
      if (keep_going && !keep_going()) return IoError::os(EINTR).with_path("key file", path);
      continue;
    }
    if (n < 0) return IoError::last_os().with_path("key file", path);
    if (n == 0) break;
    std::string_view rest(buffer.data(), static_cast<std::size_t>(n));
    for (;;) {
      const std::size_t lf = rest.find('\n');
      if (Result<void> ok = line.feed(rest.substr(0, lf)); !ok) return bad_line(ok.error());
      if (lf == rest.npos) break;
      Result<std::optional<std::uint64_t>> key = line.finish();
      if (!key) return bad_line(key.error());
      if (key->has_value()) keys.push_back(**key);
      line = LineParser();
      ++number;
      rest.remove_prefix(lf + 1);
    }
  }
  // The last line needs no terminator.
  Result<std::optional<std::uint64_t>> key = line.finish();
  if (!key) return bad_line(key.error());
  if (key->has_value()) keys.push_back(**key);
  return keys;
}

}  // namespace quandrel::io
