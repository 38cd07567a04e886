// CallTrace follows each operation's calls for the library's counters and,
// while a log sink or a call observer is set, hands their events over (see
// nb/Observability.h). The operation procedure calls it at the four moments
// of a call; everything it keeps lives in the operation (NBOperation's trace
// state). Used on the operation's thread.
#pragma once

#include <cstddef>

#include "nb/Status.h"

namespace nb {

class NBOperation;
class URLRequest;

class CallTrace {
 public:
  // A call starts (once per executeOperation that makes one).
  static void start(NBOperation& operation);
  // `request` is about to be sent; while observed it gains an X-Request-Id.
  static void requestSent(NBOperation& operation, URLRequest& request);
  static void response(NBOperation& operation, int httpStatus);
  static void received(NBOperation& operation, std::size_t bytes);
  // The call's one outcome; nothing when no call is under way.
  static void end(NBOperation& operation, const Status& status);
};

}  // namespace nb
