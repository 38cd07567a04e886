// failureStatus turns an operation's failure report into the library's Status:
// the one place where a failure message gets its code. Stateless; any thread.
#pragma once

#include <string>

#include "nb/Status.h"

namespace nb {

class NBOperation;

namespace internal {

// The Status behind `message`, which `operation` has just reported through
// operationFail. The message is kept unchanged as the Status's message.
Status failureStatus(const NBOperation& operation, const std::string& message);

}  // namespace internal
}  // namespace nb
