// NBFailure is the message of a call that cannot be made or whose reply cannot
// be understood; it reaches the delegate's operationFail unchanged. A plain value.
#pragma once

#include <string>

namespace nb {

struct NBFailure {
  std::string message;
};

}  // namespace nb
