#include "nb/platform/internal/CurlTransferEngine.h"

#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <mutex>
#include <string>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "nb/platform/AsciiText.h"
#include "nb/platform/URLConnection.h"
#include "nb/platform/internal/RequestBodyReader.h"

namespace nb {
namespace {

// A large receive buffer: a big download then takes a few hundred KiB per
// read and per write to its file instead of 16 KiB. Only the part a reply
// fills is touched, so small replies cost no more memory.
constexpr long kReceiveBufferBytes = 512L * 1024;
// The same for a big request body: 512 KiB per read of the body and per send
// instead of 64 KiB (libcurl's default, kept for small bodies).
constexpr long kSendBufferBytes = 512L * 1024;
constexpr long kDefaultSendBufferBytes = 64L * 1024;
// A handle goes back to the engine's pool only after a transfer that moved at
// most this much: a bigger one has touched much of its receive buffer, which
// an idle handle should not keep resident.
constexpr curl_off_t kPooledTransferBytes = 64 * 1024;
// Idle handles the pool keeps (beyond them, finished handles are freed).
constexpr std::size_t kMaxIdleHandles = 64;
// Connections kept open between requests (beyond them, the oldest idle one closes).
constexpr long kMaxIdleConnections = 128;
// Parsed URLs the engine keeps (beyond them, the least recently used goes).
constexpr std::size_t kMaxParsedURLs = 16;
// The bounds of the idle check's period (see CurlTransfer::idleCheckPeriod).
constexpr std::chrono::milliseconds kShortestIdleCheck{10};
constexpr std::chrono::milliseconds kLongestIdleCheck{250};

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

// Statuses whose Location the transport follows instead of reporting them.
bool isRedirectStatus(int status) {
  return status == 300 || status == 301 || status == 302 || status == 303 || status == 307 ||
         status == 308;
}

curl_socket_t openEngineSocket(void* engine, curlsocktype /*purpose*/, curl_sockaddr* address) {
  const int fd = static_cast<CurlTransferEngine*>(engine)->openSocket(
      address->family, address->socktype, address->protocol);
  return fd < 0 ? CURL_SOCKET_BAD : fd;
}
int closeEngineSocket(void* engine, curl_socket_t fd) {
  return static_cast<CurlTransferEngine*>(engine)->closeSocket(fd);
}

// True when every byte of `s` is printable ASCII other than '#': sixteen
// bytes at a time where the processor allows, since a signed target is some
// 250 bytes.
bool printableWithoutHash(std::string_view s) {
  std::size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= s.size(); i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
    // As signed bytes, controls, space and every byte from 0x80 up are below '!'.
    const __m128i unfit = _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8('!')),
                                       _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x7f)),
                                                    _mm_cmpeq_epi8(v, _mm_set1_epi8('#'))));
    if (_mm_movemask_epi8(unfit) != 0) return false;
  }
#endif
  for (; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c <= 0x20 || c >= 0x7f || c == '#') return false;
  }
  return true;
}

// Where the request target (path and query) starts in `url`, when the target
// can go on the wire exactly as written: an http or https URL with a query, a
// path of printable ASCII without dot segments (libcurl would rewrite them),
// and no fragment. npos otherwise. libcurl formats a URL's path and query a
// character at a time, several times per request; a signed query is some 250
// characters, so handing it over ready-made (CURLOPT_REQUEST_TARGET) instead
// saves more than a third of a small request's work.
std::size_t requestTargetStart(std::string_view url) {
  std::size_t authority;
  if (url.substr(0, 7) == "http://") {
    authority = 7;
  } else if (url.substr(0, 8) == "https://") {
    authority = 8;
  } else {
    return std::string_view::npos;
  }
  // (A plain loop: find_first_of searches the set once per character.)
  std::size_t path = authority;
  while (path < url.size() && url[path] != '/' && url[path] != '?' && url[path] != '#') ++path;
  if (path == url.size() || url[path] != '/') return std::string_view::npos;
  const std::size_t query = url.find('?', path);
  if (query == std::string_view::npos) return std::string_view::npos;  // nothing to gain
  if (!printableWithoutHash(url.substr(path))) return std::string_view::npos;
  if (url.substr(path, query - path).find("/.") != std::string_view::npos) {
    return std::string_view::npos;
  }
  return path;
}

}  // namespace

// One request on the curl engine: its easy handle, body reader and the
// response being parsed. Owned by its connection, like the request it sends,
// which outlives it; the engine keeps the connection (the receiver) alive
// while the transfer runs.
class CurlTransfer final : public Transfer {
 public:
  explicit CurlTransfer(const URLRequest& request) : request_(request) {}

  // Configures the easy handle under `settings` and hands it to this thread's engine.
  // `connectTo` is the settings' connect-to list as libcurl takes it (null:
  // none); it outlives the transfer.
  void begin(std::shared_ptr<TransferReceiver> receiver, const EnvironmentSettings& settings,
             curl_slist* connectTo);
  void cancel() override;
  // From the engine: the transfer has ended (code 0: success).
  void complete(int code);
  // What the engine's idle check, at `now` (the loop's time), finds: a byte
  // moved either way since the last check, none, or none for the request's
  // time-out. A move restarts the count from the check that sees it, never
  // from before the move: a transfer does not time out early, and at most two
  // check periods (see idleCheckPeriod) late.
  enum class Idle { kMoved, kQuiet, kTooLong };
  Idle idleAt(std::chrono::steady_clock::time_point now) {
    if (std::exchange(moved_, false)) {
      quietSince_ = now;
      return Idle::kMoved;
    }
    return now - quietSince_ >= idleLimit_ ? Idle::kTooLong : Idle::kQuiet;
  }
  // The connection's socket, or -1 before there is one.
  int activeSocket() const {
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (easy_) curl_easy_getinfo(easy_.get(), CURLINFO_ACTIVESOCKET, &socket);
    return socket == CURL_SOCKET_BAD ? -1 : static_cast<int>(socket);
  }
  // How often the engine checks this transfer: a sixteenth of its time-out,
  // from 10 ms to 250 ms, so that a time-out comes at most an eighth of
  // itself, and never more than half a second, late. A check costs one pass
  // over the engine's transfers, not a clock reading per callback.
  std::chrono::milliseconds idleCheckPeriod() const {
    const auto part = std::chrono::duration_cast<std::chrono::milliseconds>(idleLimit_ / 16);
    return std::clamp(part, kShortestIdleCheck, kLongestIdleCheck);
  }
  // From the engine's idle check: ends the transfer as timed out.
  void timeOut();
  // From the engine at thread exit: no event follows.
  void drop() {
    engine_ = nullptr;
    receiver_ = nullptr;
  }
  void* easy() const { return easy_.get(); }
  // Hands the easy handle back to `engine`'s pool once libcurl is done with it.
  void recycleEasy(CurlTransferEngine& engine) {
    if (!easy_) return;
    curl_off_t received = 0, sent = 0;
    curl_easy_getinfo(easy_.get(), CURLINFO_SIZE_DOWNLOAD_T, &received);
    curl_easy_getinfo(easy_.get(), CURLINFO_SIZE_UPLOAD_T, &sent);
    engine.recycle(easy_.release(), received + sent <= kPooledTransferBytes, plainGet_, *settings_);
  }

 private:
  // Transport callbacks; each returns false to abort the transfer.
  bool onHeaderLine(std::string_view line);
  bool onBody(std::string_view chunk);
  bool onUploadProgress(std::int64_t sent);
  bool deliverResponse();
  // Ends the transfer from a callback with `reason` as its error.
  bool refuse(std::string reason) {
    refusal_ = std::move(reason);
    return false;
  }
  // Whether a redirect to `location` stays where the request was sent.
  bool redirectStaysOnHost(const std::string& location) const;
  // Whether libcurl ended the transfer with `code` for running below the
  // request's minimum speed (which it reports as a time-out).
  bool slowerThanAllowed(int code) const {
    return code == CURLE_OPERATION_TIMEDOUT && request_.minimumSpeed().bytesPerSecond > 0 &&
           std::string_view(errorBuffer_).starts_with("Operation too slow");
  }
  NBError slowTransferError() const {
    const URLRequest::MinimumSpeed speed = request_.minimumSpeed();
    NBError error = transportError(CURLE_OPERATION_TIMEDOUT, "");
    error.description = "The request timed out: fewer than " +
                        std::to_string(speed.bytesPerSecond) + " bytes a second for " +
                        std::to_string(speed.seconds) + " s.";
    return error;
  }

  static std::size_t header(char* data, std::size_t size, std::size_t count, void* user) {
    const std::size_t length = size * count;
    auto* self = static_cast<CurlTransfer*>(user);
    self->moved_ = true;
    return self->onHeaderLine({data, length}) ? length : 0;
  }
  static std::size_t write(char* data, std::size_t size, std::size_t count, void* user) {
    const std::size_t length = size * count;
    auto* self = static_cast<CurlTransfer*>(user);
    self->moved_ = true;
    return self->onBody({data, length}) ? length : 0;
  }
  static std::size_t read(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<CurlTransfer*>(user);
    const auto got = self->body_->read(buffer, size * count);
    if (got > 0) self->moved_ = true;
    return got < 0 ? CURL_READFUNC_ABORT : static_cast<std::size_t>(got);
  }
  static int seek(void* user, curl_off_t offset, int origin) {
    if (origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
    return static_cast<CurlTransfer*>(user)->body_->seek(offset) ? CURL_SEEKFUNC_OK
                                                                 : CURL_SEEKFUNC_FAIL;
  }
  // Set for a request with a body only: reports the bytes sent.
  static int progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploadNow);

  const URLRequest& request_;  // the connection's; the body reader reads its parts
  EasyHandle easy_;
  HeaderList headers_;
  std::unique_ptr<RequestBodyReader> body_;
  char errorBuffer_[CURL_ERROR_SIZE] = {};
  CurlTransferEngine* engine_ = nullptr;  // set while the engine runs the transfer
  TransferReceiver* receiver_ = nullptr;  // null once ended, cancelled or dropped

  // The response being read.
  bool inHeaderBlock_ = false;
  bool skipBody_ = false;  // body of a redirect that is followed
  bool responseDelivered_ = false;
  bool sendsTarget_ = false;         // the path and query go as CURLOPT_REQUEST_TARGET
  std::shared_ptr<void> parsedURL_;  // the CURLU handed to libcurl with the target
  bool plainGet_ = false;            // a GET without body or header: its handle's options are few
  const EnvironmentSettings* settings_ = nullptr;  // the transport's, which outlives us
  int status_ = 0;
  std::string headerBlock_;          // the response's header lines, as URLResponse keeps them
  std::string location_;             // the response's Location, when it names one
  bool lengthSeen_ = false;          // the response has a Content-Length field
  std::int64_t contentLength_ = -1;  // its value; negative when not a length, or two differ
  std::string refusal_;              // why a callback ended the transfer
  std::int64_t uploaded_ = 0;

  // The time-out counts from the last byte moved either way (or from the
  // start): the callbacks that move bytes set moved_, and the engine's idle
  // check, a few times per time-out, reads and clears it. That costs no clock
  // reading per callback, and a small request needs no progress callback.
  std::chrono::steady_clock::duration idleLimit_{};
  std::chrono::steady_clock::time_point quietSince_;  // set at the first check
  bool moved_ = true;                                 // the start counts as a move
};

int CurlTransfer::progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploadNow) {
  auto& t = *static_cast<CurlTransfer*>(user);
  if (uploadNow > t.uploaded_) t.moved_ = true;
  return t.onUploadProgress(uploadNow) ? 0 : 1;
}

void CurlTransfer::begin(std::shared_ptr<TransferReceiver> receiver,
                         const EnvironmentSettings& settings, curl_slist* connectTo) {
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

  settings_ = &settings;
  plainGet_ = !body_ && request_.HTTPMethod() == "GET" && request_.allHTTPHeaderFields().empty();
  bool configured = false;
  easy_.reset(static_cast<CURL*>(engine.takeEasy(settings, plainGet_, &configured)));
  if (!easy_) {
    engine.runLoop().post([this, keep = std::move(receiver)] {
      if (receiver_ == nullptr) return;
      TransferReceiver* target = std::exchange(receiver_, nullptr);
      const NBError failure = transportError(CURLE_OUT_OF_MEMORY, "");
      target->transferDidComplete(&failure);
    });
    return;
  }
  CURL* easy = easy_.get();
  const std::string& url = request_.URL();
  // Every option below that a plain GET sets, and that differs per transfer,
  // is set on every transfer (null when unused): a configured handle keeps
  // its earlier values. The rest is set only on a handle that is as new.
  curl_easy_setopt(easy, CURLOPT_REQUEST_TARGET, nullptr);
  curl_easy_setopt(easy, CURLOPT_CURLU, nullptr);
  if (settings.proxyFromEnvironment) {
    // libcurl reads the proxy variables per request and sends a proxy the
    // whole URL, so the request goes as written.
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  } else {
    // No proxy variable is set: saying so spares libcurl five environment
    // lookups per request. (A configured handle has said so already.)
    if (!configured) {
      curl_easy_setopt(easy, CURLOPT_PROXY, "");
      curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
    }
    const std::size_t target = requestTargetStart(url);
    if (target == std::string_view::npos) {
      curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    } else {
      // libcurl gets the URL without its query (so that a relative redirect
      // resolves as it would against the whole URL) and the target as it goes
      // on the wire. The URL also goes parsed, from the engine's cache: libcurl
      // then takes its parts from a copy instead of parsing the text (which it
      // still does for a redirect).
      const std::string_view withoutQuery = std::string_view(url).substr(0, url.find('?', target));
      parsedURL_ = engine.parsedURL(withoutQuery);
      // libcurl copies the text; the copy it is made from is kept per thread.
      thread_local std::string text;
      text.assign(withoutQuery);
      curl_easy_setopt(easy, CURLOPT_URL, text.c_str());
      curl_easy_setopt(easy, CURLOPT_CURLU, parsedURL_.get());
      curl_easy_setopt(easy, CURLOPT_REQUEST_TARGET, url.c_str() + target);
      sendsTarget_ = true;
    }
  }
  if (!configured) {
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &openEngineSocket);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, &engine);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &closeEngineSocket);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, &engine);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlTransfer::header);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlTransfer::write);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
    if (!settings.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, settings.caFile.c_str());
  }
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer_);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);

  // The time-out bounds connecting and any stretch without a byte moved, not
  // the whole transfer, so that big uploads and downloads are not cut short and
  // a slow but steady peer is not taken for a dead one. libcurl bounds the
  // connecting; the engine's idle check the stretches.
  const double timeout = request_.timeoutInterval();
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout * 1000));
  idleLimit_ = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(timeout));
  curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectTo);
  const URLRequest::MinimumSpeed speed = request_.minimumSpeed();
  const bool speedBound = speed.bytesPerSecond > 0 && speed.seconds > 0;
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, speedBound ? long{speed.bytesPerSecond} : 0L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, speedBound ? long{speed.seconds} : 0L);

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
    // A big body goes in large reads and sends; a small one keeps the small
    // default, as the buffer is allocated in full for every upload.
    curl_easy_setopt(
        easy, CURLOPT_UPLOAD_BUFFERSIZE,
        body_->length() > kSendBufferBytes ? kSendBufferBytes : kDefaultSendBufferBytes);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &CurlTransfer::read);
    curl_easy_setopt(easy, CURLOPT_READDATA, this);
    curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &CurlTransfer::seek);
    curl_easy_setopt(easy, CURLOPT_SEEKDATA, this);
    // Only a body's sending is reported as progress: libcurl calls this on
    // every pass over the transfer, which a small request need not pay for.
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &CurlTransfer::progress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
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
  CurlTransferEngine* engine = std::exchange(engine_, nullptr);
  if (engine == nullptr) return;  // only the engine that ran it completes a transfer
  if (receiver_ == nullptr) {
    recycleEasy(*engine);
    return;
  }
  if (code != CURLE_OK) {
    recycleEasy(*engine);
    const bool bodyFailed = body_ && !body_->error().empty();
    const NBError error =
        !refusal_.empty() ? transportError(CURLE_WEIRD_SERVER_REPLY, refusal_)
        : slowerThanAllowed(code)
            ? slowTransferError()
            : transportError(code, bodyFailed ? body_->error() : std::string(errorBuffer_));
    std::exchange(receiver_, nullptr)->transferDidComplete(&error);
    return;
  }
  const bool delivered = responseDelivered_ || deliverResponse();
  // Back in the pool before the last event, whose receiver may start the next request.
  recycleEasy(*engine);
  if (delivered && receiver_ != nullptr) {
    std::exchange(receiver_, nullptr)->transferDidComplete(nullptr);
  }
}

void CurlTransfer::timeOut() {
  if (engine_ == nullptr || receiver_ == nullptr) return;  // ended meanwhile
  TransferReceiver* target = std::exchange(receiver_, nullptr);
  std::exchange(engine_, nullptr)->remove(this);
  const NBError error = transportError(CURLE_OPERATION_TIMEDOUT, "");
  target->transferDidComplete(&error);
}

bool CurlTransfer::onHeaderLine(std::string_view line) {
  if (receiver_ == nullptr) return false;
  // libcurl hands over whole lines with their CRLF; blanks around the rest
  // are rare, and looked for only when the line starts or ends with one.
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (!line.empty() && (ascii::isBlank(line.front()) || ascii::isBlank(line.back()))) {
    line = trim(line);
  }
  if (line.substr(0, 5) == "HTTP/") {
    // A status line starts a new response (interim, redirect or final).
    inHeaderBlock_ = true;
    skipBody_ = false;
    responseDelivered_ = false;
    headerBlock_.clear();
    headerBlock_.reserve(512);  // a typical reply's header lines, without regrowing
    location_.clear();
    lengthSeen_ = false;
    contentLength_ = -1;
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
      // The two fields the transport reads itself are noted on the way.
      const std::string_view name = trim(line.substr(0, colon));
      if (name.size() == 8 && equalsIgnoringCase(name, "Location")) {
        location_ = trim(line.substr(colon + 1));
      } else if (name.size() == 14 && equalsIgnoringCase(name, "Content-Length")) {
        const std::int64_t length = URLResponse::parseContentLength(trim(line.substr(colon + 1)));
        contentLength_ = !lengthSeen_ || length == contentLength_ ? length : -1;
        lengthSeen_ = true;
      }
      headerBlock_.append(line).push_back('\n');
    }
    return true;
  }
  inHeaderBlock_ = false;
  if (status_ >= 100 && status_ < 200) return true;
  if (isRedirectStatus(status_) && !location_.empty()) {
    // A signed request's answer must come from the host it was signed for: a
    // redirect elsewhere (or from https down to http) ends the request.
    if (!redirectStaysOnHost(location_)) {
      return refuse("The server redirected the request to another host (" + location_ +
                    "); it was not followed");
    }
    skipBody_ = true;
    // The next request goes where the Location says, path and query included.
    if (std::exchange(sendsTarget_, false)) {
      curl_easy_setopt(easy_.get(), CURLOPT_REQUEST_TARGET, nullptr);
    }
    return true;
  }
  // A length that is not a number, overflows, or differs between two fields
  // leaves the body's end unknown: reading to the close could take a cut or
  // padded body for the whole one.
  if (lengthSeen_ && contentLength_ < 0) {
    return refuse("The server sent an unusable Content-Length");
  }
  return deliverResponse();
}

bool CurlTransfer::redirectStaysOnHost(const std::string& location) const {
  using Url = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;
  Url from(curl_url(), &curl_url_cleanup);
  if (!from || curl_url_set(from.get(), CURLUPART_URL, request_.URL().c_str(), 0) != CURLUE_OK) {
    return false;
  }
  Url to(curl_url_dup(from.get()), &curl_url_cleanup);
  // Set on a copy of the request's URL, a relative Location resolves against it.
  if (!to || curl_url_set(to.get(), CURLUPART_URL, location.c_str(), 0) != CURLUE_OK) {
    return false;
  }
  auto part = [](CURLU* url, CURLUPart which) {
    char* text = nullptr;
    const unsigned flags = which == CURLUPART_PORT ? CURLU_DEFAULT_PORT : 0;
    if (curl_url_get(url, which, &text, flags) != CURLUE_OK) return std::string();
    std::string value(text);
    curl_free(text);
    std::transform(value.begin(), value.end(), value.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return value;
  };
  const std::string scheme = part(from.get(), CURLUPART_SCHEME);
  const std::string toScheme = part(to.get(), CURLUPART_SCHEME);
  return part(from.get(), CURLUPART_HOST) == part(to.get(), CURLUPART_HOST) &&
         (scheme == toScheme || (scheme == "http" && toScheme == "https")) &&
         (scheme != toScheme || part(from.get(), CURLUPART_PORT) == part(to.get(), CURLUPART_PORT));
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
  // libcurl's URL is the one it went to, normalised, except that it lacks the
  // query that went as the request target (which is sent only when no
  // normalising was due).
  char* url = nullptr;
  if (!sendsTarget_) curl_easy_getinfo(easy_.get(), CURLINFO_EFFECTIVE_URL, &url);
  const URLResponse response = URLResponse::withHeaderBlock(
      url != nullptr ? url : request_.URL(), status_, std::move(headerBlock_), contentLength_);
  headerBlock_.clear();
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

// Starts transfers on the calling thread's engine under fixed settings. Each
// connection holds its transport, so the connect-to list outlives its transfers.
class CurlTransport final : public Transport {
 public:
  explicit CurlTransport(EnvironmentSettings settings) : settings_(std::move(settings)) {
    for (const auto& entry : settings_.connectTo) append(connectTo_, entry);
  }

  std::unique_ptr<Transfer> start(const URLRequest& request,
                                  std::shared_ptr<TransferReceiver> receiver) override {
    auto transfer = std::make_unique<CurlTransfer>(request);
    transfer->begin(std::move(receiver), settings_, connectTo_.get());
    return transfer;
  }

 private:
  const EnvironmentSettings settings_;
  HeaderList connectTo_;  // settings_.connectTo as libcurl takes it; read-only once made
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
  // libcurl's own bound scales with the transfers running at the moment, so a
  // lull between bursts (callers that start the next request a moment after
  // the last one ended) closed connections that the next burst had to open again.
  curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, kMaxIdleConnections);
}

std::shared_ptr<void> CurlTransferEngine::parsedURL(std::string_view url) {
  for (std::size_t i = 0; i < parsedURLs_.size(); ++i) {
    if (parsedURLs_[i].url == url) {
      std::rotate(parsedURLs_.begin(), parsedURLs_.begin() + static_cast<std::ptrdiff_t>(i),
                  parsedURLs_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      return parsedURLs_.front().handle;
    }
  }
  CURLU* handle = curl_url();
  if (handle == nullptr) return nullptr;
  std::shared_ptr<void> parsed(handle, [](void* h) { curl_url_cleanup(static_cast<CURLU*>(h)); });
  // The flags libcurl parses a URL given as text with.
  if (curl_url_set(handle, CURLUPART_URL, std::string(url).c_str(),
                   CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return nullptr;
  }
  if (parsedURLs_.size() == kMaxParsedURLs) parsedURLs_.pop_back();
  parsedURLs_.insert(parsedURLs_.begin(), ParsedURL{std::string(url), parsed});
  return parsed;
}

void* CurlTransferEngine::takeEasy(const EnvironmentSettings& settings, bool plainGet,
                                   bool* configured) {
  *configured = false;
  if (idle_.empty()) return curl_easy_init();
  IdleEasy idle = std::move(idle_.back());
  idle_.pop_back();
  if (plainGet && idle.plainGet && idle.proxyFromEnvironment == settings.proxyFromEnvironment &&
      idle.caFile == settings.caFile) {
    *configured = true;
  } else {
    // As new, but with its buffers kept; its connections stay in the multi
    // handle's cache either way.
    curl_easy_reset(static_cast<CURL*>(idle.easy));
  }
  return idle.easy;
}

void CurlTransferEngine::recycle(void* easy, bool keep, bool plainGet,
                                 const EnvironmentSettings& settings) {
  if (keep && idle_.size() < kMaxIdleHandles) {
    idle_.push_back({easy, plainGet, settings.proxyFromEnvironment,
                     plainGet ? settings.caFile : std::string()});
  } else {
    curl_easy_cleanup(static_cast<CURL*>(easy));
  }
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
  idleCheck_.cancel();
  for (int fd : watched_) loop_.unwatchFd(fd);
  for (const IdleEasy& idle : idle_) curl_easy_cleanup(static_cast<CURL*>(idle.easy));
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
  armIdleCheck(transfer->idleCheckPeriod());
  // Adding arms the timer at zero: the transfer starts on the next loop pass.
  curl_multi_add_handle(multi_, easy);
}

void CurlTransferEngine::armIdleCheck(std::chrono::milliseconds period) {
  if (idleCheck_.valid()) {
    // A check armed with a period no longer than this one is due within it
    // anyway (and knowing so takes no clock reading, unlike moving it).
    if (idleCheckPeriod_ <= period || !loop_.rescheduleTimer(idleCheck_, period)) return;
  } else {
    idleCheck_ = loop_.addTimer(period, false, [this] {
      idleCheck_ = {};
      checkIdle();
    });
  }
  idleCheckPeriod_ = period;
}

void CurlTransferEngine::checkIdle() {
  if (insideCurl_ > 0) {
    // The loop runs nested inside one of our callbacks, where libcurl must
    // not be re-entered: checked again shortly.
    armIdleCheck(kShortestIdleCheck);
    return;
  }
  const auto now = loop_.currentTime();
  std::vector<Running> expired;  // each keeps its receiver, and so its transfer, alive
  std::vector<int> quiet;        // the sockets of transfers that moved nothing since
  auto period = kLongestIdleCheck;
  for (const auto& [easy, running] : transfers_) {
    const CurlTransfer::Idle idle = running.transfer->idleAt(now);
    if (idle == CurlTransfer::Idle::kTooLong) {
      expired.push_back(running);
      continue;
    }
    period = std::min(period, running.transfer->idleCheckPeriod());
    if (idle == CurlTransfer::Idle::kQuiet) {
      if (const int fd = running.transfer->activeSocket(); fd >= 0) quiet.push_back(fd);
    }
  }
  // A receiver told of its time-out may start and cancel transfers.
  for (const Running& running : expired) running.transfer->timeOut();
  // A quiet transfer has libcurl look at its socket once per check, as its
  // speed check did once a second: a transfer whose socket event went missing
  // then goes on instead of waiting for its time-out. (libcurl ignores a
  // socket it no longer knows.)
  std::sort(quiet.begin(), quiet.end());
  quiet.erase(std::unique(quiet.begin(), quiet.end()), quiet.end());
  for (const int fd : quiet) socketAction(fd, 0);
  if (!transfers_.empty()) armIdleCheck(period);
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
      transfer->recycleEasy(*this);
      return;
    }
  }
  auto it = transfers_.find(transfer->easy());
  if (it == transfers_.end()) return;
  curl_multi_remove_handle(multi_, transfer->easy());
  auto receiver = std::move(it->second.receiver);  // released after the map is consistent
  transfers_.erase(it);
  transfer->recycleEasy(*this);
}

int CurlTransferEngine::onSocket(void* /*easy*/, int fd, int what, void* selfPointer,
                                 void* /*socketData*/) {
  auto* self = static_cast<CurlTransferEngine*>(selfPointer);
  if (what == CURL_POLL_REMOVE) {
    if (self->ownSockets_.count(fd) != 0) {
      // An idle connection, most likely reused by the next request.
      self->loop_.setFdEvents(fd, 0);
    } else {
      // Another kind of descriptor (the resolver's), which libcurl may close
      // without telling us.
      self->watched_.erase(fd);
      self->loop_.unwatchFd(fd);
    }
    return 0;
  }
  unsigned events = 0;
  if (what & CURL_POLL_IN) events |= RunLoop::kReadable;
  if (what & CURL_POLL_OUT) events |= RunLoop::kWritable;
  if (!self->watched_.insert(fd).second && self->loop_.setFdEvents(fd, events)) return 0;
  self->loop_.watchFd(fd, events, [self, fd](unsigned ready) {
    int flags = 0;
    if (ready & RunLoop::kReadable) flags |= CURL_CSELECT_IN;
    if (ready & RunLoop::kWritable) flags |= CURL_CSELECT_OUT;
    if (ready & RunLoop::kError) flags |= CURL_CSELECT_ERR;
    self->socketAction(fd, flags);
  });
  return 0;
}

int CurlTransferEngine::openSocket(int family, int type, int protocol) {
  const int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) return -1;
  // A descriptor closed behind our back may have left a watch under this number.
  if (watched_.erase(fd) != 0) loop_.unwatchFd(fd);
  ownSockets_.insert(fd);
  return fd;
}

int CurlTransferEngine::closeSocket(int fd) {
  ownSockets_.erase(fd);
  if (watched_.erase(fd) != 0) loop_.unwatchFd(fd);
  return ::close(fd);
}

int CurlTransferEngine::onTimer(void* /*multi*/, long timeoutMs, void* selfPointer) {
  auto* self = static_cast<CurlTransferEngine*>(selfPointer);
  // libcurl moves its timer several times per request: moved in place when
  // it is still pending.
  if (timeoutMs >= 0 && self->timer_.valid() &&
      self->loop_.rescheduleTimer(self->timer_, std::chrono::milliseconds(timeoutMs))) {
    return 0;
  }
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
