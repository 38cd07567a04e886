// Status is the library's one error type: ok, or a code with a readable message.
// Result<T> holds either a value or the Status that explains why there is none.
// Both are small values, cheap to move, safe to hand between threads.
//
// The delegate protocol still reports failures as message strings (operationFail);
// a Status's message() is exactly that string when a Status reaches a delegate.
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace nb {

enum class StatusCode {
  kOk = 0,
  kInvalidArgument,   // the caller's input cannot be used (bad name, missing field)
  kNotFound,          // the thing asked for does not exist
  kAlreadyExists,     // the thing to create is already there
  kPermissionDenied,  // refused for lack of rights (local file mode, service's "no permission")
  kUnauthenticated,   // no credentials, or the service rejected them: sign in again
  kResourceExhausted, // quota, disk full, too many items, body too large
  kIOError,           // a local file or store could not be read or written
  kCorruption,        // data that should be well formed is not (a reply, a stored record)
  kNetwork,           // the transport failed: refused, reset, TLS, DNS
  kTimeout,           // no progress within the time allowed
  kService,           // the service refused the call; the message is the service's
  kCancelled,         // the caller cancelled
  kUnavailable,       // a facility this machine does not offer (no display, no keyring)
  kInternal,          // a broken invariant inside the library or the emulator
};

// The stable lower-case name of a code ("not_found"), for logs and machine output.
std::string_view statusCodeName(StatusCode code);

class Status {
 public:
  Status() = default;  // ok
  Status(StatusCode code, std::string message) : code_(code), message_(std::move(message)) {}

  static Status OK() { return Status(); }
  static Status invalidArgument(std::string m) { return {StatusCode::kInvalidArgument, std::move(m)}; }
  static Status notFound(std::string m) { return {StatusCode::kNotFound, std::move(m)}; }
  static Status alreadyExists(std::string m) { return {StatusCode::kAlreadyExists, std::move(m)}; }
  static Status permissionDenied(std::string m) { return {StatusCode::kPermissionDenied, std::move(m)}; }
  static Status unauthenticated(std::string m) { return {StatusCode::kUnauthenticated, std::move(m)}; }
  static Status resourceExhausted(std::string m) { return {StatusCode::kResourceExhausted, std::move(m)}; }
  static Status ioError(std::string m) { return {StatusCode::kIOError, std::move(m)}; }
  static Status corruption(std::string m) { return {StatusCode::kCorruption, std::move(m)}; }
  static Status network(std::string m) { return {StatusCode::kNetwork, std::move(m)}; }
  static Status timeout(std::string m) { return {StatusCode::kTimeout, std::move(m)}; }
  static Status service(std::string m) { return {StatusCode::kService, std::move(m)}; }
  static Status cancelled(std::string m) { return {StatusCode::kCancelled, std::move(m)}; }
  static Status unavailable(std::string m) { return {StatusCode::kUnavailable, std::move(m)}; }
  static Status internal(std::string m) { return {StatusCode::kInternal, std::move(m)}; }

  bool ok() const { return code_ == StatusCode::kOk; }
  StatusCode code() const { return code_; }
  // The readable text; empty when ok.
  const std::string& message() const { return message_; }
  // "not_found: <message>", or "ok".
  std::string toString() const;

  friend bool operator==(const Status&, const Status&) = default;

 private:
  StatusCode code_ = StatusCode::kOk;
  std::string message_;
};

// A value, or the Status that explains its absence. Constructed from either;
// value() may only be called when ok().
template <class T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
  Result(Status status) : status_(std::move(status)) {  // NOLINT(google-explicit-constructor)
    assert(!status_.ok() && "a Result made from a Status must carry an error");
    if (status_.ok()) status_ = Status::internal("a result was made from an ok status");
  }

  bool ok() const { return value_.has_value(); }
  const Status& status() const { return status_; }

  T& value() & { assert(ok()); return *value_; }
  const T& value() const& { assert(ok()); return *value_; }
  T&& value() && { assert(ok()); return std::move(*value_); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace nb
