// CurlTransferEngine is the calling thread's HTTP engine: one libcurl multi
// handle whose sockets and timer are driven by the thread's RunLoop, so that
// thousands of transfers run at once on one thread without polling.
// Internal to the transport (URLConnection); one per thread, made on first use
// and destroyed at thread exit, when unfinished transfers are dropped silently.
#pragma once

#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "nb/platform/RunLoop.h"

namespace nb {

class URLConnection;

class CurlTransferEngine {
 public:
  static CurlTransferEngine& current();
  ~CurlTransferEngine();
  CurlTransferEngine(const CurlTransferEngine&) = delete;
  CurlTransferEngine& operator=(const CurlTransferEngine&) = delete;

  // Starts the configured easy handle `easy`; the engine keeps `connection`
  // alive until the transfer completes or is removed.
  void add(void* easy, std::shared_ptr<URLConnection> connection);
  // Stops `easy` without a completion. Safe inside the transfer's own callbacks.
  void remove(void* easy);

  RunLoop& runLoop() { return loop_; }

 private:
  explicit CurlTransferEngine(RunLoop& loop);
  static int onSocket(void* easy, int fd, int what, void* self, void* socketData);
  static int onTimer(void* multi, long timeoutMs, void* self);
  // Lets libcurl act on `fd` (or on its timer) and handles what it finished.
  void socketAction(int fd, int curlEvents);
  void completeFinished();
  void applyDeferred();

  RunLoop& loop_;
  void* multi_;
  RunLoop::TimerHandle timer_;
  std::unordered_map<void*, std::shared_ptr<URLConnection>> transfers_;
  std::unordered_set<int> watched_;  // sockets registered with the run loop
  // libcurl must not be re-entered from its own callbacks; changes requested
  // there wait until it returns.
  int insideCurl_ = 0;
  std::vector<std::pair<void*, std::shared_ptr<URLConnection>>> deferredAdds_;
  std::vector<void*> deferredRemovals_;
};

}  // namespace nb
