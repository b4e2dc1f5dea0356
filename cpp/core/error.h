// Two kinds of failure travel through the engine:
//  - IoError: an expected failure of a file operation. It travels as a value
//    (Result<T>) and reaches Python as OSError.
//  - Fault: a broken invariant. It is a C++ exception, crosses threads as a
//    std::exception_ptr, and reaches Python as the module's Fault class.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace quandrel {

class IoError {
 public:
  enum class Kind { kOs, kInvalidInput, kUnexpectedEof, kOther };

  static IoError os(int code) { return IoError(Kind::kOs, code, {}); }
  // The calling thread's errno.
  static IoError last_os();
  static IoError invalid_input(std::string_view m) { return IoError(Kind::kInvalidInput, 0, m); }
  static IoError unexpected_eof(std::string_view m) { return IoError(Kind::kUnexpectedEof, 0, m); }
  static IoError other(std::string_view m) { return IoError(Kind::kOther, 0, m); }

  // The same error with a line naming what failed, e.g. "shard file:
  // /data/t/shard_017.bin"; Python shows it as a note on the exception.
  IoError with_path(std::string_view what, std::string_view path) && {
    note_.assign(what).append(": ").append(path);
    return std::move(*this);
  }
  IoError with_note(std::string_view note) && {
    note_.assign(note);
    return std::move(*this);
  }
  const std::string& note() const { return note_; }

  Kind kind() const { return kind_; }
  // The error number of an OS error, 0 for the other kinds.
  int os_code() const { return code_; }
  // For an OS error "<strerror> (os error N)"; otherwise the message alone.
  std::string text() const;

 private:
  IoError(Kind kind, int code, std::string_view m) : kind_(kind), code_(code), message_(m) {}

  Kind kind_;
  int code_;
  std::string message_;
  std::string note_;
};

// The system's description of an error number, without the " (os error N)".
std::string os_error_description(int code);

// A value or an IoError, shaped like std::expected so that it can become one.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(IoError error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  T& operator*() & { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const IoError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, IoError> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(IoError error) : error_(std::move(error)), failed_(true) {}

  bool has_value() const { return !failed_; }
  explicit operator bool() const { return has_value(); }
  const IoError& error() const { return error_; }

 private:
  IoError error_ = IoError::other({});
  bool failed_ = false;
};

// A broken invariant. Never caught below the Python boundary, except to carry
// it to another thread.
class Fault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void fault(const std::string& text);

}  // namespace quandrel
