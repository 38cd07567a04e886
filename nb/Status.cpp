#include "nb/Status.h"

namespace nb {

std::string_view statusCodeName(StatusCode code) {
  switch (code) {
    case StatusCode::kOk: return "ok";
    case StatusCode::kInvalidArgument: return "invalid_argument";
    case StatusCode::kNotFound: return "not_found";
    case StatusCode::kAlreadyExists: return "exists";
    case StatusCode::kPermissionDenied: return "permission_denied";
    case StatusCode::kUnauthenticated: return "not_signed_in";
    case StatusCode::kResourceExhausted: return "resource_exhausted";
    case StatusCode::kIOError: return "io_error";
    case StatusCode::kCorruption: return "corruption";
    case StatusCode::kNetwork: return "network";
    case StatusCode::kTimeout: return "timeout";
    case StatusCode::kService: return "service";
    case StatusCode::kCancelled: return "cancelled";
    case StatusCode::kUnavailable: return "unavailable";
    case StatusCode::kInternal: return "internal";
  }
  return "unknown";
}

std::string Status::toString() const {
  if (ok()) return "ok";
  std::string text(statusCodeName(code_));
  text += ": ";
  text += message_;
  return text;
}

}  // namespace nb
