#include "nb/platform/internal/CurlTransferEngine.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <mutex>
#include <string>
#include <utility>

#include "nb/Private/internal/AsciiText.h"
#include "nb/platform/URLConnection.h"
#include "nb/platform/internal/RequestBodyReader.h"

namespace nb {
namespace {

// A large receive buffer: a big download then takes a few hundred KiB per
// read and per write to its file instead of 16 KiB. Only the part a reply
// fills is touched, so small replies cost no more memory.
constexpr long kReceiveBufferBytes = 512L * 1024;

struct EasyCleanup {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

void append(HeaderList& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown != nullptr) {
    (void)list.release();
    list.reset(grown);
  }
}

using ascii::equalsIgnoringCase;
using ascii::trim;

// The one place where the transport's failures become readable errors.
// `detail` is the most specific text known (the transport's message for this
// transfer, or our own), else the generic text of `code` is used.
static_assert(kURLConnectionErrorTimedOut == CURLE_OPERATION_TIMEDOUT);

NBError transportError(int code, std::string_view detail) {
  NBError error;
  error.domain = kURLConnectionErrorDomain;
  error.code = code;
  std::string text;
  if (code == CURLE_OPERATION_TIMEDOUT) {
    text = "The request timed out.";
  } else {
    text = detail.empty() ? curl_easy_strerror(static_cast<CURLcode>(code)) : std::string(detail);
  }
  if (!text.empty()) {
    text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    const char last = text.back();
    if (last != '.' && last != '!' && last != '?') text += '.';
  }
  error.description = std::move(text);
  return error;
}

// Statuses with a Location that the transport follows instead of reporting.
bool isFollowedRedirect(int status,
                        const std::vector<std::pair<std::string, std::string>>& headers) {
  if (status != 300 && status != 301 && status != 302 && status != 303 && status != 307 &&
      status != 308) {
    return false;
  }
  for (const auto& [field, value] : headers) {
    if (equalsIgnoringCase(field, "Location") && !value.empty()) return true;
  }
  return false;
}

}  // namespace

// One request on the curl engine: its easy handle, body reader and the
// response being parsed. Owned by its connection; the engine keeps the
// connection (the receiver) alive while the transfer runs.
class CurlTransfer final : public Transfer {
 public:
  explicit CurlTransfer(URLRequest request) : request_(std::move(request)) {}

  // Configures the easy handle under `settings` and hands it to this thread's engine.
  void begin(std::shared_ptr<TransferReceiver> receiver, const EnvironmentSettings& settings);
  void cancel() override;
  // From the engine: the transfer has ended (code 0: success).
  void complete(int code);
  // From the engine at thread exit: no event follows.
  void drop() {
    engine_ = nullptr;
    receiver_ = nullptr;
  }
  void* easy() const { return easy_.get(); }

 private:
  // Transport callbacks; each returns false to abort the transfer.
  bool onHeaderLine(std::string_view line);
  bool onBody(std::string_view chunk);
  bool onUploadProgress(std::int64_t sent);
  bool deliverResponse();

  static std::size_t header(char* data, std::size_t size, std::size_t count, void* user) {
    const std::size_t length = size * count;
    return static_cast<CurlTransfer*>(user)->onHeaderLine({data, length}) ? length : 0;
  }
  static std::size_t write(char* data, std::size_t size, std::size_t count, void* user) {
    const std::size_t length = size * count;
    return static_cast<CurlTransfer*>(user)->onBody({data, length}) ? length : 0;
  }
  static std::size_t read(char* buffer, std::size_t size, std::size_t count, void* user) {
    const auto got = static_cast<CurlTransfer*>(user)->body_->read(buffer, size * count);
    return got < 0 ? CURL_READFUNC_ABORT : static_cast<std::size_t>(got);
  }
  static int seek(void* user, curl_off_t offset, int origin) {
    if (origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
    return static_cast<CurlTransfer*>(user)->body_->seek(offset) ? CURL_SEEKFUNC_OK
                                                                 : CURL_SEEKFUNC_FAIL;
  }
  static int progress(void* user, curl_off_t, curl_off_t downloadNow, curl_off_t,
                      curl_off_t uploadNow);

  URLRequest request_;  // kept: the body reader reads its parts
  EasyHandle easy_;
  HeaderList headers_;
  HeaderList connectTo_;
  std::unique_ptr<RequestBodyReader> body_;
  char errorBuffer_[CURL_ERROR_SIZE] = {};
  CurlTransferEngine* engine_ = nullptr;  // set while the engine runs the transfer
  TransferReceiver* receiver_ = nullptr;  // null once ended, cancelled or dropped

  // The response being read.
  bool inHeaderBlock_ = false;
  bool skipBody_ = false;  // body of a redirect that is followed
  bool responseDelivered_ = false;
  int status_ = 0;
  std::vector<std::pair<std::string, std::string>> responseHeaders_;
  std::int64_t uploaded_ = 0;

  // The time-out counts from the last byte moved either way (or from the start).
  std::chrono::steady_clock::duration idleLimit_{};
  std::chrono::steady_clock::time_point lastProgress_;
  curl_off_t lastDownloaded_ = 0, lastUploaded_ = 0;
  bool timedOut_ = false;
};

int CurlTransfer::progress(void* user, curl_off_t, curl_off_t downloadNow, curl_off_t,
                           curl_off_t uploadNow) {
  auto& t = *static_cast<CurlTransfer*>(user);
  const auto now = std::chrono::steady_clock::now();
  if (downloadNow != t.lastDownloaded_ || uploadNow != t.lastUploaded_) {
    t.lastDownloaded_ = downloadNow;
    t.lastUploaded_ = uploadNow;
    t.lastProgress_ = now;
  } else if (now - t.lastProgress_ > t.idleLimit_) {
    t.timedOut_ = true;
    return 1;
  }
  if (t.body_ && !t.onUploadProgress(uploadNow)) return 1;
  return 0;
}

void CurlTransfer::begin(std::shared_ptr<TransferReceiver> receiver,
                         const EnvironmentSettings& settings) {
  CurlTransferEngine& engine = CurlTransferEngine::current();
  receiver_ = receiver.get();

  if (request_.hasHTTPBody()) {
    std::string error;
    body_ = RequestBodyReader::make(request_.HTTPBodyParts(), &error);
    if (!body_) {
      // Reported from the run loop like every other outcome, never from here.
      engine.runLoop().post([this, keep = std::move(receiver), error] {
        if (receiver_ == nullptr) return;  // cancelled meanwhile
        TransferReceiver* target = std::exchange(receiver_, nullptr);
        const NBError failure = transportError(CURLE_READ_ERROR, error);
        target->transferDidComplete(&failure);
      });
      return;
    }
  }

  easy_.reset(curl_easy_init());
  CURL* easy = easy_.get();
  curl_easy_setopt(easy, CURLOPT_URL, request_.URL().c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer_);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlTransfer::header);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlTransfer::write);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);

  // The time-out bounds connecting and any stretch without a byte moved, not
  // the whole transfer, so that big uploads and downloads are not cut short and
  // a slow but steady peer is not taken for a dead one. The progress callback
  // tells the stretches apart; the speed check (far looser) only makes the
  // transport call it at least once a second while nothing moves.
  const double timeout = request_.timeoutInterval();
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout * 1000));
  idleLimit_ = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(timeout));
  lastProgress_ = std::chrono::steady_clock::now();
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &CurlTransfer::progress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                   std::max(1L, static_cast<long>(std::ceil(timeout * 4))));

  if (!settings.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, settings.caFile.c_str());
  if (!settings.connectTo.empty()) {
    for (const auto& entry : settings.connectTo) append(connectTo_, entry);
    curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectTo_.get());
  }

  bool hasExpect = false;
  for (const auto& [field, value] : request_.allHTTPHeaderFields()) {
    if (equalsIgnoringCase(field, "Expect")) hasExpect = true;
    // "Field;" is how an empty value is sent; "Field:" would remove the header.
    append(headers_, value.empty() ? field + ";" : field + ": " + value);
  }

  const std::string& method = request_.HTTPMethod();
  if (body_) {
    // Waiting for "100 Continue" only adds a round trip (or a stall with
    // servers that never send it).
    if (!hasExpect) append(headers_, "Expect:");
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_->length()));
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &CurlTransfer::read);
    curl_easy_setopt(easy, CURLOPT_READDATA, this);
    curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &CurlTransfer::seek);
    curl_easy_setopt(easy, CURLOPT_SEEKDATA, this);
    if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  } else if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (method == "POST") {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, 0L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
  } else if (method != "GET") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  if (headers_) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers_.get());

  engine_ = &engine;
  engine.add(this, std::move(receiver));
}

void CurlTransfer::cancel() {
  receiver_ = nullptr;
  if (engine_ != nullptr) std::exchange(engine_, nullptr)->remove(this);
}

void CurlTransfer::complete(int code) {
  engine_ = nullptr;
  if (receiver_ == nullptr) return;
  if (code != CURLE_OK) {
    if (timedOut_) code = CURLE_OPERATION_TIMEDOUT;
    const bool bodyFailed = body_ && !body_->error().empty();
    const NBError error =
        transportError(code, bodyFailed ? body_->error() : std::string(errorBuffer_));
    std::exchange(receiver_, nullptr)->transferDidComplete(&error);
    return;
  }
  if (!responseDelivered_ && !deliverResponse()) return;
  if (receiver_ != nullptr) std::exchange(receiver_, nullptr)->transferDidComplete(nullptr);
}

bool CurlTransfer::onHeaderLine(std::string_view line) {
  if (receiver_ == nullptr) return false;
  line = trim(line);
  if (line.substr(0, 5) == "HTTP/") {
    // A status line starts a new response (interim, redirect or final).
    inHeaderBlock_ = true;
    skipBody_ = false;
    responseDelivered_ = false;
    responseHeaders_.clear();
    status_ = 0;
    const auto space = line.find(' ');
    if (space != std::string_view::npos) {
      const auto code = line.substr(space + 1, 3);
      std::from_chars(code.data(), code.data() + code.size(), status_);
    }
    return true;
  }
  if (!inHeaderBlock_) return true;  // trailers after a chunked body
  if (!line.empty()) {
    const auto colon = line.find(':');
    if (colon != std::string_view::npos) {
      responseHeaders_.emplace_back(std::string(trim(line.substr(0, colon))),
                                    std::string(trim(line.substr(colon + 1))));
    }
    return true;
  }
  inHeaderBlock_ = false;
  if (status_ >= 100 && status_ < 200) return true;
  if (isFollowedRedirect(status_, responseHeaders_)) {
    skipBody_ = true;
    return true;
  }
  return deliverResponse();
}

bool CurlTransfer::deliverResponse() {
  if (body_) {
    // Progress is sampled; make sure the whole body was counted before the reply.
    curl_off_t sent = 0;
    curl_easy_getinfo(easy_.get(), CURLINFO_SIZE_UPLOAD_T, &sent);
    if (!onUploadProgress(sent)) return false;
  }
  if (status_ == 0) {
    long code = 0;
    curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &code);
    status_ = static_cast<int>(code);
  }
  char* url = nullptr;
  curl_easy_getinfo(easy_.get(), CURLINFO_EFFECTIVE_URL, &url);
  const URLResponse response(url != nullptr ? url : request_.URL(), status_,
                             std::move(responseHeaders_));
  responseHeaders_.clear();
  responseDelivered_ = true;
  return receiver_ != nullptr && receiver_->transferDidReceiveResponse(response);
}

bool CurlTransfer::onBody(std::string_view chunk) {
  if (receiver_ == nullptr) return false;
  if (skipBody_) return true;
  if (!responseDelivered_ && !deliverResponse()) return false;
  return receiver_ != nullptr && receiver_->transferDidReceiveData(chunk);
}

bool CurlTransfer::onUploadProgress(std::int64_t sent) {
  if (receiver_ == nullptr) return false;
  if (sent <= uploaded_) return true;
  uploaded_ = sent;
  return receiver_->transferDidSendBodyData(sent, body_ ? body_->length() : 0);
}

namespace {

// Starts transfers on the calling thread's engine under fixed settings.
class CurlTransport final : public Transport {
 public:
  explicit CurlTransport(EnvironmentSettings settings) : settings_(std::move(settings)) {}

  std::unique_ptr<Transfer> start(const URLRequest& request,
                                  std::shared_ptr<TransferReceiver> receiver) override {
    auto transfer = std::make_unique<CurlTransfer>(request);
    transfer->begin(std::move(receiver), settings_);
    return transfer;
  }

 private:
  const EnvironmentSettings settings_;
};

}  // namespace

std::shared_ptr<Transport> Transport::curl(EnvironmentSettings settings) {
  return std::make_shared<CurlTransport>(std::move(settings));
}

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
  std::vector<Running> dropped = std::move(deferredAdds_);
  for (auto& [easy, running] : transfers_) {
    curl_multi_remove_handle(multi_, easy);
    dropped.push_back(std::move(running));
  }
  transfers_.clear();
  for (auto& running : dropped) running.transfer->drop();
  timer_.cancel();
  for (int fd : watched_) loop_.unwatchFd(fd);
  curl_multi_cleanup(multi_);
  // Each connection and its delegate may refer to the other: break the cycle.
  for (auto& running : dropped) running.receiver->transferWasDropped();
}

void CurlTransferEngine::add(CurlTransfer* transfer, std::shared_ptr<TransferReceiver> receiver) {
  if (insideCurl_ > 0) {
    deferredAdds_.push_back({transfer, std::move(receiver)});
    return;
  }
  void* easy = transfer->easy();
  transfers_.emplace(easy, Running{transfer, std::move(receiver)});
  // Adding arms the timer at zero: the transfer starts on the next loop pass.
  curl_multi_add_handle(multi_, easy);
}

void CurlTransferEngine::remove(CurlTransfer* transfer) {
  if (insideCurl_ > 0) {
    deferredRemovals_.push_back(transfer);
    return;
  }
  for (auto it = deferredAdds_.begin(); it != deferredAdds_.end(); ++it) {
    if (it->transfer == transfer) {
      auto receiver = std::move(it->receiver);  // released after the list is consistent
      deferredAdds_.erase(it);
      return;
    }
  }
  auto it = transfers_.find(transfer->easy());
  if (it == transfers_.end()) return;
  curl_multi_remove_handle(multi_, transfer->easy());
  auto receiver = std::move(it->second.receiver);  // released after the map is consistent
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
  for (auto& running : adds) add(running.transfer, std::move(running.receiver));
  auto removals = std::move(deferredRemovals_);
  deferredRemovals_.clear();
  for (CurlTransfer* transfer : removals) remove(transfer);
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
    Running running = std::move(it->second);
    transfers_.erase(it);
    // Receivers may start and cancel transfers here: we are outside libcurl.
    // `running` keeps the receiver, and so the transfer it owns, alive meanwhile.
    running.transfer->complete(code);
  }
}

}  // namespace nb
