// FailureText turns what the library reports as a failure (the service's own
// message, often Chinese, an English service keyword, or the transport's text)
// into a Status with a code that names the cause, and gives every failure an
// English explanation and a stable machine code ("not_found", "quota", ...)
// for people and scripts. Stateless; any thread.
#pragma once

#include <string>

#include "nb/Status.h"

namespace nb::cli {

class FailureText {
 public:
  // The Status of an operation that failed with `message` (kept as the message).
  static Status fromOperationMessage(const std::string& message);
  // A stable lower-case code for scripts: finer than the Status code where the
  // service's message tells more ("quota" and "too_large" are both resource
  // exhaustion), and "usage" for an invalid argument.
  static std::string machineCode(const Status& status);
  // An English sentence that explains a service message; empty when the message
  // is already the explanation (our own English texts).
  static std::string explanation(const Status& status);
};

}  // namespace nb::cli
