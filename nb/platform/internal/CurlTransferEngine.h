// CurlTransferEngine is the calling thread's HTTP engine: one libcurl multi
// handle whose sockets and timer are driven by the thread's RunLoop, so that
// thousands of transfers run at once on one thread without polling.
// CurlTransport (Transport::curl, Transport::standard) starts its transfers
// here. One engine per thread, made on first use and destroyed at thread exit,
// when unfinished transfers are dropped (TransferReceiver::transferWasDropped).
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "nb/platform/RunLoop.h"
#include "nb/platform/internal/Transport.h"

namespace nb {

class CurlTransfer;

class CurlTransferEngine {
 public:
  static CurlTransferEngine& current();
  ~CurlTransferEngine();
  CurlTransferEngine(const CurlTransferEngine&) = delete;
  CurlTransferEngine& operator=(const CurlTransferEngine&) = delete;

  // Starts `transfer` (its easy handle configured); the engine keeps `receiver`
  // alive until the transfer completes or is removed.
  void add(CurlTransfer* transfer, std::shared_ptr<TransferReceiver> receiver);
  // Stops `transfer` without a completion. Safe inside the transfer's own callbacks.
  void remove(CurlTransfer* transfer);

  RunLoop& runLoop() { return loop_; }

  // An easy handle for a new transfer (CURL*), or null when libcurl cannot
  // make one: a pooled one or a new one. `*configured` is true when the handle
  // already carries every option of a plain GET (no body, no header) under
  // `settings`, because its last transfer was one: then only the options that
  // differ per transfer need setting. Otherwise it is as new (reset).
  void* takeEasy(const EnvironmentSettings& settings, bool plainGet, bool* configured);
  // Takes back an easy handle that no multi handle holds: into the pool when
  // `keep` and the pool has room, else freed. `plainGet`: its transfer was a
  // plain GET under `settings`.
  void recycle(void* easy, bool keep, bool plainGet, const EnvironmentSettings& settings);

  // `url` parsed as libcurl parses a URL it is given (a CURLU*), from a
  // small cache of the URLs most recently asked for, or null when libcurl
  // cannot parse it. A transfer that hands it to libcurl holds the returned
  // pointer until it ends: evicted entries live on while transfers use them.
  std::shared_ptr<void> parsedURL(std::string_view url);

  // Connection sockets are opened and closed through these (libcurl's open
  // and close socket callbacks, which CurlTransfer sets), so that the engine
  // knows each one's whole life. openSocket returns the fd, or -1.
  int openSocket(int family, int type, int protocol);
  int closeSocket(int fd);

 private:
  struct Running {
    CurlTransfer* transfer;
    std::shared_ptr<TransferReceiver> receiver;
  };

  explicit CurlTransferEngine(RunLoop& loop);
  static int onSocket(void* easy, int fd, int what, void* self, void* socketData);
  static int onTimer(void* multi, long timeoutMs, void* self);

  // Lets libcurl act on `fd` (or on its timer) and handles what it finished.
  void socketAction(int fd, int curlEvents);
  // Ends the transfers that have moved no byte for their time-out, and checks
  // again while transfers run. One timer serves every transfer.
  void checkIdle();
  // Arms the idle check to run `period` from now, unless a check armed with
  // a period no longer than that is pending.
  void armIdleCheck(std::chrono::milliseconds period);
  void completeFinished();
  void applyDeferred();

  RunLoop& loop_;
  void* multi_;
  RunLoop::TimerHandle timer_;
  RunLoop::TimerHandle idleCheck_;
  std::chrono::milliseconds idleCheckPeriod_{};   // the period idleCheck_ was armed with
  std::unordered_map<void*, Running> transfers_;  // by easy handle
  std::unordered_set<int> watched_;               // sockets registered with the run loop
  // Connection sockets opened here and not yet closed: between requests such
  // a socket's watch is only paused, which costs no system call, because it
  // stays open until closeSocket() takes it off the loop.
  std::unordered_set<int> ownSockets_;
  // libcurl must not be re-entered from its own callbacks; changes requested
  // there wait until it returns.
  int insideCurl_ = 0;
  std::vector<Running> deferredAdds_;
  std::vector<CurlTransfer*> deferredRemovals_;
  // Easy handles of finished transfers: making one costs more than a small
  // request's whole exchange, and resetting and configuring one again a few
  // per cent of it.
  struct IdleEasy {
    void* easy;
    bool plainGet;  // configured for a plain GET under the settings below
    bool proxyFromEnvironment;
    std::string caFile;
  };
  std::vector<IdleEasy> idle_;
  // Parsed URLs, the most recently used first. An application's requests go
  // to few distinct URLs once their queries are set apart, and parsing one and
  // taking its parts apart again is a tenth of libcurl's work for a small
  // request.
  struct ParsedURL {
    std::string url;
    std::shared_ptr<void> handle;
  };
  std::vector<ParsedURL> parsedURLs_;
};

}  // namespace nb
