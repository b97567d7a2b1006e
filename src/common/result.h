#pragma once
// Typed results at the boundary of every C library and external tool:
// nothing is thrown across the core; failures carry a kind and a message a
// person can act on.

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace tessaline {

enum class ErrorKind {
  NotFound,          // a file, writer or medium that is not there
  PermissionDenied,  // the system refused access
  Busy,              // another process holds the writer or medium
  NoMedium,          // no disc, or the tray is open
  MediumNotWritable, // closed, pressed, or of a kind we do not write
  NoSpace,           // the disc or a file system is full
  InvalidInput,      // malformed data or arguments
  Io,                // a read or write failed
  WriteFailed,       // the recorder failed to write a block
  VerifyMismatch,    // the read-back differs from what was produced
  ToolFailed,        // an external program failed or could not start
  Cancelled,         // stopped on request
  TimedOut,          // a bounded wait ran out
  Internal,          // a broken invariant of our own
};

// The kind of a failed system call's errno, the same for every caller.
ErrorKind errorKindOf(int err);

struct Error {
  ErrorKind kind = ErrorKind::Internal;
  std::string message;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}      // NOLINT(google-explicit-constructor)
  Result(Error error) : v_(std::move(error)) {}  // NOLINT(google-explicit-constructor)
  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}  // NOLINT(google-explicit-constructor)
  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return *error_; }

 private:
  std::optional<Error> error_;
};

using Status = Result<void>;

inline Error makeError(ErrorKind kind, std::string message) { return Error{kind, std::move(message)}; }

}  // namespace tessaline
