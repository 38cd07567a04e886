// NBCallOptions are the per-call settings of NBClient's blocking, future and
// coroutine forms: cancellation, an idle time-out and byte progress. A plain
// value; build one on any thread and hand it to one call.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <stop_token>

namespace nb {

struct NBCallOptions {
  // request_stop() on the token's std::stop_source, from any thread, cancels
  // the call: its one outcome is then kCancelled (unless another outcome was
  // already decided), and the operation stops without a further delegate call.
  std::stop_token cancel;

  // The call fails with kTimeout when it shows no sign of life for this long:
  // no outcome and no byte progress. Zero (the default) sets no limit of the
  // call's own; the transport's no-progress time-out still applies.
  std::chrono::milliseconds idleTimeout{0};

  // Byte progress of uploads and downloads (written or received so far, and
  // the total, negative when unknown). It runs on the client's loop thread:
  // return quickly, touch only what is safe from another thread, and make no
  // blocking call there (it is refused).
  std::function<void(std::int64_t done, std::int64_t expected)> progress;
};

}  // namespace nb
