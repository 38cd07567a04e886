#include "nb/platform/internal/CurlTransferEngine.h"

#include <curl/curl.h>

#include <mutex>

#include "nb/platform/URLConnection.h"

namespace nb {
namespace {

constexpr long kReceiveBufferBytes = 512L * 1024;

}  // namespace

CurlTransferEngine& CurlTransferEngine::current() {
  // The run loop is made first so that it outlives this thread's engine.
  RunLoop& loop = RunLoop::current();
  thread_local std::unique_ptr<CurlTransferEngine> engine(new CurlTransferEngine(loop));
  return *engine;
}

CurlTransferEngine::CurlTransferEngine(RunLoop& loop) : loop_(loop) {
  static std::once_flag globalInit;
  std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  multi_ = curl_multi_init();
  curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlTransferEngine::onSocket);
  curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlTransferEngine::onTimer);
  curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
}

CurlTransferEngine::~CurlTransferEngine() {
  // Unfinished transfers end silently with the thread.
  auto transfers = std::move(transfers_);
  auto deferredAdds = std::move(deferredAdds_);
  for (auto& [easy, connection] : transfers) {
    curl_multi_remove_handle(multi_, easy);
    connection->ended_ = true;
  }
  for (auto& [easy, connection] : deferredAdds) connection->ended_ = true;
  timer_.cancel();
  for (int fd : watched_) loop_.unwatchFd(fd);
  curl_multi_cleanup(multi_);
  // Each connection and its delegate may refer to the other: break the cycle.
  for (auto& [easy, connection] : transfers) connection->delegate_.reset();
  for (auto& [easy, connection] : deferredAdds) connection->delegate_.reset();
}

void CurlTransferEngine::add(void* easy, std::shared_ptr<URLConnection> connection) {
  if (insideCurl_ > 0) {
    deferredAdds_.emplace_back(easy, std::move(connection));
    return;
  }
  // A large receive buffer: a big download then takes a few hundred KiB per
  // read and per write to its file instead of 16 KiB. Only the part a reply
  // fills is touched, so small replies cost no more memory.
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  transfers_.emplace(easy, std::move(connection));
  // Adding arms the timer at zero: the transfer starts on the next loop pass.
  curl_multi_add_handle(multi_, easy);
}

void CurlTransferEngine::remove(void* easy) {
  if (insideCurl_ > 0) {
    deferredRemovals_.push_back(easy);
    return;
  }
  for (auto it = deferredAdds_.begin(); it != deferredAdds_.end(); ++it) {
    if (it->first == easy) {
      deferredAdds_.erase(it);
      return;
    }
  }
  auto it = transfers_.find(easy);
  if (it == transfers_.end()) return;
  curl_multi_remove_handle(multi_, easy);
  auto connection = std::move(it->second);  // released after the map is consistent
  transfers_.erase(it);
}

int CurlTransferEngine::onSocket(void* /*easy*/, int fd, int what, void* selfPointer,
                                 void* /*socketData*/) {
  auto* self = static_cast<CurlTransferEngine*>(selfPointer);
  if (what == CURL_POLL_REMOVE) {
    self->watched_.erase(fd);
    self->loop_.unwatchFd(fd);
    return 0;
  }
  unsigned events = 0;
  if (what & CURL_POLL_IN) events |= RunLoop::kReadable;
  if (what & CURL_POLL_OUT) events |= RunLoop::kWritable;
  self->watched_.insert(fd);
  self->loop_.watchFd(fd, events, [self, fd](unsigned ready) {
    int flags = 0;
    if (ready & RunLoop::kReadable) flags |= CURL_CSELECT_IN;
    if (ready & RunLoop::kWritable) flags |= CURL_CSELECT_OUT;
    if (ready & RunLoop::kError) flags |= CURL_CSELECT_ERR;
    self->socketAction(fd, flags);
  });
  return 0;
}

int CurlTransferEngine::onTimer(void* /*multi*/, long timeoutMs, void* selfPointer) {
  auto* self = static_cast<CurlTransferEngine*>(selfPointer);
  self->timer_.cancel();
  if (timeoutMs >= 0) {
    self->timer_ = self->loop_.addTimer(std::chrono::milliseconds(timeoutMs), false, [self] {
      self->timer_ = {};
      self->socketAction(CURL_SOCKET_TIMEOUT, 0);
    });
  }
  return 0;
}

void CurlTransferEngine::socketAction(int fd, int curlEvents) {
  if (insideCurl_ > 0) {
    // The loop runs nested inside one of our callbacks, where libcurl must not
    // be re-entered: sockets stay ready and report again; the timer is re-armed.
    if (fd == CURL_SOCKET_TIMEOUT) onTimer(multi_, 1, this);
    return;
  }
  int running = 0;
  ++insideCurl_;
  curl_multi_socket_action(multi_, fd, curlEvents, &running);
  --insideCurl_;
  applyDeferred();
  completeFinished();
}

void CurlTransferEngine::applyDeferred() {
  if (insideCurl_ > 0) return;
  auto adds = std::move(deferredAdds_);
  deferredAdds_.clear();
  for (auto& [easy, connection] : adds) add(easy, std::move(connection));
  auto removals = std::move(deferredRemovals_);
  deferredRemovals_.clear();
  for (void* easy : removals) remove(easy);
}

void CurlTransferEngine::completeFinished() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    void* easy = message->easy_handle;
    const int code = message->data.result;
    curl_multi_remove_handle(multi_, easy);
    auto it = transfers_.find(easy);
    if (it == transfers_.end()) continue;
    auto connection = std::move(it->second);
    transfers_.erase(it);
    // Delegates may start and cancel transfers here: we are outside libcurl.
    connection->didComplete(code);
  }
}

}  // namespace nb
