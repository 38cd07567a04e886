#include "nb/platform/URLConnection.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "nb/platform/internal/CurlTransferEngine.h"
#include "nb/platform/internal/RequestBodyReader.h"

namespace nb {
namespace {

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

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

// The one place where the transport's failures become readable errors.
// `detail` is the most specific text known (the transport's message for this
// transfer, or our own), else the generic text of `code` is used.
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

URLResponse::URLResponse(std::string url, int statusCode,
                         std::vector<std::pair<std::string, std::string>> headers)
    : url_(std::move(url)), statusCode_(statusCode), headers_(std::move(headers)) {
  if (auto length = valueForHTTPHeaderField("Content-Length")) {
    std::int64_t value = -1;
    const auto* end = length->data() + length->size();
    auto [ptr, ec] = std::from_chars(length->data(), end, value);
    if (ec == std::errc() && ptr == end && value >= 0) expectedContentLength_ = value;
  }
}

std::optional<std::string> URLResponse::valueForHTTPHeaderField(std::string_view field) const {
  for (const auto& [name, value] : headers_) {
    if (equalsIgnoringCase(name, field)) return value;
  }
  return std::nullopt;
}

// The transport's state of one request, and the C callbacks that reach the
// connection (a nested type, so they may call its private members).
struct URLConnection::Transfer {
  EasyHandle easy;
  HeaderList headers;
  HeaderList connectTo;
  std::unique_ptr<RequestBodyReader> body;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  CurlTransferEngine* engine = nullptr;  // set while the engine runs the transfer

  // The response being read.
  bool inHeaderBlock = false;
  bool skipBody = false;  // body of a redirect that is followed
  bool responseDelivered = false;
  int status = 0;
  std::vector<std::pair<std::string, std::string>> responseHeaders;
  std::int64_t uploaded = 0;

  static std::size_t header(char* data, std::size_t size, std::size_t count, void* user) {
    const std::size_t length = size * count;
    return static_cast<URLConnection*>(user)->onHeaderLine({data, length}) ? length : 0;
  }
  static std::size_t write(char* data, std::size_t size, std::size_t count, void* user) {
    const std::size_t length = size * count;
    return static_cast<URLConnection*>(user)->onBody({data, length}) ? length : 0;
  }
  static std::size_t read(char* buffer, std::size_t size, std::size_t count, void* user) {
    const auto got = static_cast<Transfer*>(user)->body->read(buffer, size * count);
    return got < 0 ? CURL_READFUNC_ABORT : static_cast<std::size_t>(got);
  }
  static int seek(void* user, curl_off_t offset, int origin) {
    if (origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
    return static_cast<Transfer*>(user)->body->seek(offset) ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
  }
  static int progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploadNow) {
    return static_cast<URLConnection*>(user)->onUploadProgress(uploadNow) ? 0 : 1;
  }
};

std::shared_ptr<URLConnection> URLConnection::connectionWithRequest(
    URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate) {
  std::shared_ptr<URLConnection> connection(
      new URLConnection(std::move(request), std::move(delegate)));
  connection->start();
  return connection;
}

URLConnection::URLConnection(URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate)
    : request_(std::move(request)),
      delegate_(std::move(delegate)),
      transfer_(std::make_unique<Transfer>()) {}

URLConnection::~URLConnection() = default;

void URLConnection::start() {
  CurlTransferEngine& engine = CurlTransferEngine::current();
  Transfer& t = *transfer_;

  if (request_.hasHTTPBody()) {
    std::string error;
    t.body = RequestBodyReader::make(request_.HTTPBodyParts(), &error);
    if (!t.body) {
      // Reported from the run loop like every other outcome, never from here.
      engine.runLoop().post([self = shared_from_this(), error] {
        self->fail(transportError(CURLE_READ_ERROR, error));
      });
      return;
    }
  }

  t.easy.reset(curl_easy_init());
  CURL* easy = t.easy.get();
  curl_easy_setopt(easy, CURLOPT_URL, request_.URL().c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, t.errorBuffer);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::header);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::write);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);

  // The time-out bounds connecting and any stretch without progress, not the
  // whole transfer, so that big uploads and downloads are not cut short.
  const double timeout = request_.timeoutInterval();
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout * 1000));
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                   std::max(1L, static_cast<long>(std::ceil(timeout))));

  if (const char* caFile = std::getenv("NB_CA_FILE"); caFile != nullptr && *caFile != '\0') {
    curl_easy_setopt(easy, CURLOPT_CAINFO, caFile);
  }
  if (const char* connectTo = std::getenv("NB_CONNECT_TO");
      connectTo != nullptr && *connectTo != '\0') {
    std::string_view entries(connectTo);
    while (!entries.empty()) {
      const auto comma = entries.find(',');
      const auto entry = trim(entries.substr(0, comma));
      if (!entry.empty()) append(t.connectTo, std::string(entry));
      entries = comma == std::string_view::npos ? std::string_view() : entries.substr(comma + 1);
    }
    curl_easy_setopt(easy, CURLOPT_CONNECT_TO, t.connectTo.get());
  }

  bool hasExpect = false;
  for (const auto& [field, value] : request_.allHTTPHeaderFields()) {
    if (equalsIgnoringCase(field, "Expect")) hasExpect = true;
    // "Field;" is how an empty value is sent; "Field:" would remove the header.
    append(t.headers, value.empty() ? field + ";" : field + ": " + value);
  }

  const std::string& method = request_.HTTPMethod();
  if (t.body) {
    // Waiting for "100 Continue" only adds a round trip (or a stall with
    // servers that never send it).
    if (!hasExpect) append(t.headers, "Expect:");
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t.body->length()));
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Transfer::read);
    curl_easy_setopt(easy, CURLOPT_READDATA, &t);
    curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Transfer::seek);
    curl_easy_setopt(easy, CURLOPT_SEEKDATA, &t);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::progress);
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
  if (t.headers) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, t.headers.get());

  t.engine = &engine;
  engine.add(easy, shared_from_this());
}

void URLConnection::cancel() {
  if (ended_) return;
  ended_ = true;
  auto self = shared_from_this();  // the engine may hold the last reference
  if (transfer_->engine != nullptr) {
    transfer_->engine->remove(transfer_->easy.get());
    transfer_->engine = nullptr;
  }
  delegate_.reset();
}

void URLConnection::fail(const NBError& error) {
  if (ended_) return;
  ended_ = true;
  transfer_->engine = nullptr;
  // Released only once the callback has returned.
  const auto delegate = std::move(delegate_);
  if (delegate) delegate->connectionDidFailWithError(this, error);
}

void URLConnection::didComplete(int code) {
  Transfer& t = *transfer_;
  t.engine = nullptr;
  if (ended_) return;
  if (code != CURLE_OK) {
    const bool bodyFailed = t.body && !t.body->error().empty();
    fail(transportError(code, bodyFailed ? t.body->error() : std::string(t.errorBuffer)));
    return;
  }
  if (!t.responseDelivered && !deliverResponse()) return;
  ended_ = true;
  const auto delegate = std::move(delegate_);
  if (delegate) delegate->connectionDidFinishLoading(this);
}

bool URLConnection::onHeaderLine(std::string_view line) {
  if (ended_) return false;
  Transfer& t = *transfer_;
  line = trim(line);
  if (line.substr(0, 5) == "HTTP/") {
    // A status line starts a new response (interim, redirect or final).
    t.inHeaderBlock = true;
    t.skipBody = false;
    t.responseDelivered = false;
    t.responseHeaders.clear();
    t.status = 0;
    const auto space = line.find(' ');
    if (space != std::string_view::npos) {
      const auto code = line.substr(space + 1, 3);
      std::from_chars(code.data(), code.data() + code.size(), t.status);
    }
    return true;
  }
  if (!t.inHeaderBlock) return true;  // trailers after a chunked body
  if (!line.empty()) {
    const auto colon = line.find(':');
    if (colon != std::string_view::npos) {
      t.responseHeaders.emplace_back(std::string(trim(line.substr(0, colon))),
                                     std::string(trim(line.substr(colon + 1))));
    }
    return true;
  }
  t.inHeaderBlock = false;
  if (t.status >= 100 && t.status < 200) return true;
  if (isFollowedRedirect(t.status, t.responseHeaders)) {
    t.skipBody = true;
    return true;
  }
  return deliverResponse();
}

bool URLConnection::deliverResponse() {
  Transfer& t = *transfer_;
  if (t.body) {
    // Progress is sampled; make sure the whole body was counted before the reply.
    curl_off_t sent = 0;
    curl_easy_getinfo(t.easy.get(), CURLINFO_SIZE_UPLOAD_T, &sent);
    if (!onUploadProgress(sent)) return false;
  }
  if (t.status == 0) {
    long code = 0;
    curl_easy_getinfo(t.easy.get(), CURLINFO_RESPONSE_CODE, &code);
    t.status = static_cast<int>(code);
  }
  char* url = nullptr;
  curl_easy_getinfo(t.easy.get(), CURLINFO_EFFECTIVE_URL, &url);
  const URLResponse response(url != nullptr ? url : request_.URL(), t.status,
                             std::move(t.responseHeaders));
  t.responseHeaders.clear();
  t.responseDelivered = true;
  const auto delegate = delegate_;
  if (delegate) delegate->connectionDidReceiveResponse(this, response);
  return !ended_;
}

bool URLConnection::onBody(std::string_view chunk) {
  if (ended_) return false;
  Transfer& t = *transfer_;
  if (t.skipBody) return true;
  if (!t.responseDelivered && !deliverResponse()) return false;
  const auto delegate = delegate_;
  if (delegate) delegate->connectionDidReceiveData(this, chunk);
  return !ended_;
}

bool URLConnection::onUploadProgress(std::int64_t sent) {
  if (ended_) return false;
  Transfer& t = *transfer_;
  if (sent > t.uploaded) {
    const std::int64_t delta = sent - t.uploaded;
    t.uploaded = sent;
    const auto delegate = delegate_;
    if (delegate)
      delegate->connectionDidSendBodyData(this, delta, sent, t.body ? t.body->length() : 0);
  }
  return !ended_;
}

}  // namespace nb
