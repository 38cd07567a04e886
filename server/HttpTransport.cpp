#include "server/HttpTransport.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
// Asio's coroutine support uses std::exchange without including <utility>.
// clang-format off
#include <utility>
// clang-format on

#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <condition_variable>
#include <deque>
#include <future>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <thread>
#include <type_traits>
#include <vector>

#include "nb/platform/AsciiText.h"
#include "server/JsonReply.h"

namespace nb::server {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

std::atomic<std::size_t> liveWorkerCount{0};
std::atomic<std::uint64_t> connectionCount{0};

// A body is handed to its reader in pieces of up to this size.
constexpr std::size_t kBodyPiece = 256 * 1024;
// The most a connection holds of what the client sent and no one has read
// yet (a header, a chunk's framing, a trailer, requests sent ahead).
constexpr std::size_t kBufferBytes = 64 * 1024;
// A reply's body is written out in pieces of up to this size.
constexpr std::size_t kReplyPiece = 256 * 1024;
// After a connection's last reply, what the client still sends is read and
// dropped for a moment, so that closing does not reset the connection before
// the client has read the reply.
constexpr std::size_t kLingerBytes = 1024 * 1024;
constexpr std::chrono::seconds kLinger{2};

// Threads for requests: one per request in progress up to a cap, kept a while
// when idle so that a steady stream of requests does not start a thread each.
class Workers {
 public:
  explicit Workers(std::size_t most) : state_(std::make_shared<State>()) {
    state_->most = most == 0 ? 1 : most;
  }

  void run(std::function<void()> task) {
    std::unique_lock<std::mutex> guard(state_->mutex);
    state_->tasks.push_back(std::move(task));
    if (state_->tasks.size() <= state_->idle) {
      state_->wake.notify_one();
      return;
    }
    if (state_->count >= state_->most) return;  // waits for a worker to come free
    ++state_->count;
    ++liveWorkerCount;
    guard.unlock();
    try {
      std::thread(loop, state_).detach();
    } catch (const std::system_error&) {
      guard.lock();
      --state_->count;
      --liveWorkerCount;
    }
  }

  // Lets idle workers end, and waits up to `bound` for the busy ones.
  void drain(std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> guard(state_->mutex);
    state_->stopping = true;
    state_->wake.notify_all();
    state_->ended.wait_for(guard, bound, [&] { return state_->count == 0; });
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable wake, ended;
    std::deque<std::function<void()>> tasks;
    std::size_t idle = 0, count = 0, most = 1;
    bool stopping = false;
  };

  static void loop(std::shared_ptr<State> state) {
    std::unique_lock<std::mutex> guard(state->mutex);
    for (;;) {
      if (state->tasks.empty()) {
        ++state->idle;
        state->wake.wait_for(guard, std::chrono::seconds(10),
                             [&] { return !state->tasks.empty() || state->stopping; });
        --state->idle;
      }
      if (state->tasks.empty()) break;
      auto task = std::move(state->tasks.front());
      state->tasks.pop_front();
      guard.unlock();
      try {
        task();
      } catch (const std::exception&) {
        // A task answers its own failures; one that escapes ends only it.
      }
      task = nullptr;
      guard.lock();
    }
    --state->count;
    --liveWorkerCount;
    state->ended.notify_all();
  }

  std::shared_ptr<State> state_;
};

std::string decodePath(const std::string& raw) {
  std::string out;
  out.reserve(raw.size());
  const auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '%' && i + 2 < raw.size()) {
      const int high = hex(raw[i + 1]), low = hex(raw[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    out.push_back(raw[i]);
  }
  return out;
}

const char* reason(int status) {
  switch (status) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 206:
      return "Partial Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 411:
      return "Length Required";
    case 413:
      return "Payload Too Large";
    case 415:
      return "Unsupported Media Type";
    case 417:
      return "Expectation Failed";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    case 507:
      return "Insufficient Storage";
    default:
      return status < 400 ? "OK" : "Error";
  }
}

// A whole reply with a JSON keyword, for refusals made before any handler runs.
std::string plainReply(int status, std::string_view keyword) {
  const std::string body = JsonReply::message(keyword);
  return "HTTP/1.1 " + std::to_string(status) + " " + reason(status) +
         "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// The request parser, with trailer fields read and dropped: no handler uses
// them, and the field store would throw on a long one. Their size is bounded
// by the connection's buffer.
class RequestParser : public http::request_parser<http::buffer_body> {
 private:
  void on_field_impl(http::field name, beast::string_view nameText, beast::string_view value,
                     beast::error_code& ec) override {
    if (is_header_done()) return;
    try {
      get().insert(name, nameText, value);
    } catch (const std::exception&) {
      ec = http::error::header_limit;
    }
  }
};

// A refusal made by the transport itself: its status and keyword.
struct Refusal {
  int status;
  const char* keyword;
};

// The codings of every Transfer-Encoding field, in order, trimmed and lower case.
std::vector<std::string> transferCodings(const http::request_header<>& header) {
  std::vector<std::string> codings;
  for (const auto& field : header) {
    if (field.name() != http::field::transfer_encoding) continue;
    const std::string value =
        ascii::lowercase(std::string_view(field.value().data(), field.value().size()));
    std::size_t at = 0;
    for (;;) {
      const std::size_t end = std::min(value.find(',', at), value.size());
      std::string coding = value.substr(at, end - at);
      coding.erase(0, std::min(coding.find_first_not_of(" \t"), coding.size()));
      coding.erase(coding.find_last_not_of(" \t") + 1);
      codings.push_back(std::move(coding));
      if (end == value.size()) break;
      at = end + 1;
    }
  }
  return codings;
}

// Where a request's body ends must be beyond doubt, or a proxy before us and
// this server could read the same bytes as different requests: a body both
// chunked and of declared length, a final coding other than chunked (its end
// is unknown), a coding we do not decode, or two Host fields are refused.
std::optional<Refusal> framingFault(const http::request_header<>& header) {
  if (header.count(http::field::host) > 1) return Refusal{400, "bad request"};
  if (header.count(http::field::transfer_encoding) == 0) return std::nullopt;
  if (header.count(http::field::content_length) > 0) return Refusal{400, "bad request"};
  const auto codings = transferCodings(header);
  if (codings.back() != "chunked") return Refusal{400, "bad request"};
  if (codings.size() > 1) return Refusal{501, "bad request"};
  return std::nullopt;
}

// A parse error that is answered before the connection closes (others,
// such as the client leaving mid-request, just close it).
std::optional<Refusal> parseFault(const beast::error_code& ec) {
  if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
    return Refusal{431, "request header too large"};
  }
  if (ec.category() == http::make_error_code(http::error::bad_target).category() &&
      ec != http::error::end_of_stream && ec != http::error::partial_message) {
    return Refusal{400, "bad request"};
  }
  return std::nullopt;
}

httplib::Response faultReply(const Refusal& refusal) {
  httplib::Response res;
  res.status = refusal.status;
  res.set_content(JsonReply::message(refusal.keyword), "application/json; charset=utf-8");
  return res;
}

struct Connection {
  virtual ~Connection() = default;
  virtual void cancel() = 0;
};

struct Route {
  std::string method;
  std::regex pattern;
  HttpTransport::Handler handler;
  HttpTransport::StreamHandler streamHandler;
  bool quick = false;
};

}  // namespace

struct HttpTransport::Impl {
  explicit Impl(Limits l) : limits(l), workers(l.workers) {}

  Limits limits;
  std::vector<Route> routes;
  Screen screen;
  Expect expect;
  Finish finish;
  HttpTransport::Tap* tap = nullptr;
  bool tls = false;
  bool tlsReady = true;

  std::mutex mutex;  // guards the two maps and `stopping`
  std::map<std::string, std::size_t> perAddress;
  std::map<Connection*, std::weak_ptr<Connection>> open;
  bool stopping = false;

  Workers workers;
  net::ssl::context ssl{net::ssl::context::tls_server};
  net::io_context io;
  // Keeps the io threads running while no operation is pending: a worker that
  // reads its socket itself has none, and its connection must still be
  // closable (stop(), the close after its reply).
  std::optional<net::executor_work_guard<net::io_context::executor_type>> keepRunning;
  tcp::acceptor acceptor{io};
  std::vector<std::thread> threads;

  const Route* find(const std::string& method, const std::string& path) const {
    for (const auto& route : routes) {
      if (route.method == method && std::regex_match(path, route.pattern)) return &route;
    }
    return nullptr;
  }
  void accept();
  void release(const std::string& address, Connection* connection) {
    std::lock_guard<std::mutex> guard(mutex);
    if (auto it = perAddress.find(address); it != perAddress.end() && --it->second == 0) {
      perAddress.erase(it);
    }
    open.erase(connection);
  }
};

namespace {

// Closes a refused plain connection after its reply: no more is sent, what
// the client still sends is dropped for a moment, then the socket closes.
void linger(std::shared_ptr<beast::tcp_stream> stream, std::size_t left) {
  if (left == 0) return stream->close();
  auto scratch = std::make_shared<std::array<char, 16384>>();
  stream->async_read_some(net::buffer(*scratch),
                          [stream, scratch, left](beast::error_code ec, std::size_t n) {
                            if (ec) return stream->close();
                            linger(stream, n >= left ? 0 : left - n);
                          });
}

void lingerClose(beast::tcp_stream&& plain) {
  auto stream = std::make_shared<beast::tcp_stream>(std::move(plain));
  beast::error_code ignored;
  stream->socket().shutdown(tcp::socket::shutdown_send, ignored);
  stream->expires_after(kLinger);
  linger(stream, kLingerBytes);
}

template <typename Stream>
class Session : public Connection, public std::enable_shared_from_this<Session<Stream>> {
  static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

 public:
  Session(HttpTransport::Impl& impl, Stream stream, std::string address)
      : impl_(impl),
        stream_(std::move(stream)),
        address_(std::move(address)),
        connection_(++connectionCount) {
    // Bounds a request's trailer, which the parser's header limit does not.
    buffer_.max_size(std::max(impl_.limits.headerBytes, kBufferBytes));
  }
  ~Session() override { impl_.release(address_, this); }

  // io thread: the TLS handshake, then the first request.
  void begin() {
    if constexpr (kTls) {
      lowest().expires_after(impl_.limits.header);
      stream_.async_handshake(net::ssl::stream_base::server,
                              [self = this->shared_from_this()](beast::error_code ec) {
                                if (ec) return self->lowest().close();
                                self->awaitRequest();
                              });
    } else {
      awaitRequest();
    }
  }

  void cancel() override {
    net::post(lowest().get_executor(), [self = this->shared_from_this()] {
      std::lock_guard<std::mutex> guard(self->socketMutex_);
      self->cancelled_ = true;
      // A worker reading the socket itself wakes to the shutdown and ends the
      // connection the usual way; closing under it could hand its file
      // number to another file meanwhile.
      if (self->workerReads_) {
        ::shutdown(self->workerSocket_, SHUT_RDWR);
        return;
      }
      beast::error_code ignored;
      self->lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
      self->lowest().close();
    });
  }

 private:
  beast::tcp_stream& lowest() { return beast::get_lowest_layer(stream_); }

  // io thread: waits for the first byte of the next request (the idle bound),
  // then for the rest of its header (the header bound).
  void awaitRequest() {
    if (buffer_.size() > 0) return readHeader();
    lowest().expires_after(impl_.limits.idle);
    stream_.async_read_some(buffer_.prepare(4096),
                            [self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                              if (ec) return self->lowest().close();
                              self->buffer_.commit(n);
                              self->readHeader();
                            });
  }

  void readHeader() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(impl_.limits.headerBytes));
    // Bodies are bounded by the routes. (No limit is the largest one: this
    // parser version takes an empty limit for a zero one.)
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    lowest().expires_after(impl_.limits.header);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                              self->onHeader(ec);
                            });
  }

  // io thread: the header is in (or broke); body bytes that came with it wait
  // for the handler's reader.
  void onHeader(beast::error_code ec) {
    if (ec == http::error::need_buffer) ec = {};
    if (ec) {
      if (const auto fault = parseFault(ec)) return refuse(*fault);
      return lowest().close();
    }
    if (const auto fault = framingFault(parser_->get())) return refuse(*fault);
    // A disruption may wait, which an io thread must not.
    if (quick() && !(impl_.tap && impl_.tap->armed())) return serve(true);
    impl_.workers.run([self = this->shared_from_this()] { self->serve(false); });
  }

  // io thread: a refusal before any handler ran; the connection then closes.
  void refuse(const Refusal& refusal) {
    auto reply = std::make_shared<std::string>(plainReply(refusal.status, refusal.keyword));
    lowest().expires_after(impl_.limits.io);
    net::async_write(stream_, net::buffer(*reply),
                     [self = this->shared_from_this(), reply](beast::error_code, std::size_t) {
                       self->finishConnection();
                     });
  }

  // io thread: ends the connection after its last reply.
  void finishConnection() {
    if constexpr (kTls) {
      lowest().expires_after(std::chrono::seconds(1));
      stream_.async_shutdown(
          [self = this->shared_from_this()](beast::error_code) { self->lowest().close(); });
    } else {
      beast::error_code ignored;
      lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
      lowest().expires_after(kLinger);
      drop(kLingerBytes);
    }
  }

  // io thread: reads and drops what the client still sends, then closes.
  void drop(std::size_t left) {
    if (left == 0) return lowest().close();
    buffer_.clear();
    lowest().async_read_some(buffer_.prepare(16384), [self = this->shared_from_this(), left](
                                                         beast::error_code ec, std::size_t n) {
      if (ec) return self->lowest().close();
      self->drop(n >= left ? 0 : left - n);
    });
  }

  // io thread: answers nothing and reads what comes until the client leaves
  // (or stop() ends the connection).
  void hang() {
    lowest().expires_never();
    buffer_.clear();
    lowest().async_read_some(buffer_.prepare(16384),
                             [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                               if (ec) return self->lowest().close();
                               self->hang();
                             });
  }

  // io thread: ends the connection with a reset rather than an orderly close.
  void resetConnection() {
    beast::error_code ignored;
    lowest().socket().set_option(net::socket_base::linger(true, 0), ignored);
    lowest().close();
  }

  // Worker: starts an operation on the io threads and waits for its end.
  // An operation dropped unfinished (its handler destroyed uncalled, as when
  // it threw) counts as aborted, so the worker never waits forever.
  template <typename Start>
  beast::error_code await(Start start) {
    struct Outcome {
      std::promise<beast::error_code> promise;
      std::atomic<bool> given{false};
      void give(beast::error_code ec) {
        if (!given.exchange(true)) promise.set_value(ec);
      }
      ~Outcome() { give(net::error::operation_aborted); }
    };
    auto outcome = std::make_shared<Outcome>();
    auto result = outcome->promise.get_future();
    net::dispatch(lowest().get_executor(), [&, outcome]() mutable {
      lowest().expires_after(impl_.limits.io);
      start([outcome](beast::error_code ec, std::size_t = 0) { outcome->give(ec); });
    });
    outcome.reset();
    return result.get();
  }

  bool writeAll(const std::vector<net::const_buffer>& pieces) {
    const auto ec =
        await([&](auto handler) { net::async_write(stream_, pieces, std::move(handler)); });
    if (ec) broken_ = true;
    return !ec;
  }

  // io thread: reads body bytes until the piece is full or the body ends.
  void fill(std::function<void(beast::error_code)> done) {
    http::async_read_some(
        stream_, buffer_, *parser_,
        [this, done = std::move(done)](beast::error_code ec, std::size_t) mutable {
          if (ec == http::error::need_buffer) ec = {};
          if (ec || parser_->is_done() || parser_->get().body().size == 0) {
            return done(ec);
          }
          lowest().expires_after(impl_.limits.io);
          fill(std::move(done));
        });
  }

  // Worker: takes the socket for reads of its own (no operation of the io
  // threads is pending on it while a request runs); -1 once it is cancelled.
  // The socket also leaves the io threads' watch meanwhile: watched, every
  // arrival of body bytes would wake one of them for nothing.
  int claimSocket() {
    std::lock_guard<std::mutex> guard(socketMutex_);
    if (cancelled_) return -1;
    workerReads_ = true;
    auto& socket = lowest().socket();
    workerSocket_ = socket.native_handle();
    beast::error_code ec;
    const int released = socket.release(ec);
    if (!ec) workerSocket_ = released;
    return workerSocket_;
  }
  // Worker: hands the socket back to the io threads; false when it could not
  // be watched again (it is closed then).
  bool releaseSocket() {
    std::lock_guard<std::mutex> guard(socketMutex_);
    workerReads_ = false;
    auto& socket = lowest().socket();
    if (socket.is_open()) return true;  // it was never released
    beast::error_code ec;
    socket.assign(tcp::v4(), workerSocket_, ec);
    if (!ec) return true;
    ::close(workerSocket_);
    return false;
  }

  // Worker: a body of known length on a plain connection, read straight from
  // the socket into the piece, the bytes that came with the header first.
  // Each piece goes to `receive` while it is still in the processor's cache,
  // and no read goes through the io threads and back.
  bool readDirect(const httplib::ContentReceiver& receive) {
    const int fd = claimSocket();
    if (fd < 0) return !(broken_ = true);
    bool read = readDirectFrom(fd, receive);
    if (!releaseSocket()) read = !(broken_ = true);
    return read;
  }

  bool readDirectFrom(int fd, const httplib::ContentReceiver& receive) {
    const int stall = static_cast<int>(impl_.limits.io.count());
    while (bodyLeft_ > 0) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(bodyLeft_, kBodyPiece));
      std::size_t n = net::buffer_copy(net::buffer(piece_.get(), want), buffer_.data());
      buffer_.consume(n);
      while (n < want) {
        const ssize_t got = ::recv(fd, piece_.get() + n, want - n, MSG_DONTWAIT);
        if (got > 0) {
          n += static_cast<std::size_t>(got);
          continue;
        }
        if (got < 0 && errno == EINTR) continue;
        // The client closed or reset before the body's end.
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return !(broken_ = true);
        // What is here goes on while the rest arrives.
        if (n > 0) break;
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, stall);
        if (polled == 0 || (polled < 0 && errno != EINTR)) return !(broken_ = true);
      }
      bodyLeft_ -= n;
      if (!receive(piece_.get(), n)) return false;
    }
    return true;
  }

  // Whether the whole request, body included, has been read.
  bool requestRead() const { return parser_->is_done() || (direct_ && bodyLeft_ == 0); }

  // Worker: hands the body to `receive` as it arrives.
  bool readBody(const httplib::ContentReceiver& deliver) {
    const httplib::ContentReceiver receive = [&](const char* data, std::size_t size) {
      bytesIn_ += size;
      return deliver(data, size);
    };
    if (expectsContinue_ && !continued_) {
      // The final reply has started: the client waits for no body any more.
      if (replying_) return false;
      static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      if (!writeAll({net::buffer(kContinue, sizeof kContinue - 1)})) return false;
      continued_ = true;
    }
    // A reply that reads the rest of its request after its own body (a
    // refusal) has that body go out first: the client may wait for it.
    if (replying_ && !flush()) return false;
    if (!piece_) piece_ = std::make_unique<char[]>(kBodyPiece);
    if (direct_) return readDirect(receive);
    while (!parser_->is_done()) {
      auto& body = parser_->get().body();
      body.data = piece_.get();
      body.size = kBodyPiece;
      const auto ec = await([&](auto handler) {
        fill([handler = std::move(handler)](beast::error_code e) mutable { handler(e, 0); });
      });
      if (ec) {
        fault_ = parseFault(ec);
        broken_ = !fault_;
        return false;
      }
      const std::size_t n = kBodyPiece - parser_->get().body().size;
      if (n > 0 && !receive(piece_.get(), n)) return false;
    }
    return true;
  }

  // Worker: writes out what a reply's body has put aside.
  bool flush() {
    if (out_.empty() || broken_) return !broken_;
    if (chunked_) {
      char size[32];
      const int n = std::snprintf(size, sizeof size, "%zx\r\n", out_.size());
      out_.insert(0, size, static_cast<std::size_t>(n));
      out_ += "\r\n";
    }
    const bool ok = writeAll({net::buffer(out_)});
    out_.clear();
    return ok;
  }

  // The status line and headers of a reply, up to its length or framing.
  static std::string replyHead(const httplib::Response& res, bool close) {
    std::string head = "HTTP/1.1 " + std::to_string(res.status) + " " + reason(res.status) + "\r\n";
    for (const auto& [name, value] : res.headers) {
      const std::string lower = ascii::lowercase(name);
      if (lower == "content-length" || lower == "connection" || lower == "transfer-encoding") {
        continue;
      }
      head += name + ": " + value + "\r\n";
    }
    if (close) head += "Connection: close\r\n";
    return head;
  }

  // Worker: hands a reply held in memory to the io threads, which write it
  // and go on with the connection; the worker is free at once.
  void sendWhole(const httplib::Request& req, httplib::Response& res, bool keep) {
    struct Whole {
      std::string head, body;
    };
    auto whole = std::make_shared<Whole>();
    whole->head =
        replyHead(res, !keep) + "Content-Length: " + std::to_string(res.body.size()) + "\r\n\r\n";
    if (req.method != "HEAD") whole->body = std::move(res.body);
    const bool cut = cutAfter_ && *cutAfter_ < whole->body.size();
    if (cut) whole->body.resize(*cutAfter_);
    net::dispatch(lowest().get_executor(), [self = this->shared_from_this(), whole, keep, cut] {
      self->lowest().expires_after(self->impl_.limits.io);
      const std::array<net::const_buffer, 2> pieces{net::buffer(whole->head),
                                                    net::buffer(whole->body)};
      net::async_write(self->stream_, pieces,
                       [self, whole, keep, cut](beast::error_code ec, std::size_t) {
                         if (ec || cut) return self->lowest().close();
                         if (keep) return self->awaitRequest();
                         self->finishConnection();
                       });
    });
  }

  // Worker: writes a reply whose body a provider makes; false when the
  // connection broke.
  bool sendReply(const httplib::Request& req, httplib::Response& res, bool close) {
    replying_ = true;
    std::string head = replyHead(res, close);
    const bool headOnly = req.method == "HEAD";
    const bool sized = !res.is_chunked_content_provider_;
    head += sized ? "Content-Length: " + std::to_string(res.content_length_) + "\r\n\r\n"
                  : std::string("Transfer-Encoding: chunked\r\n\r\n");
    if (!writeAll({net::buffer(head)})) return false;
    if (headOnly) return true;

    chunked_ = !sized;
    std::size_t offset = 0;
    bool ended = false;
    httplib::DataSink sink;
    sink.write = [&](const char* data, std::size_t size) {
      if (broken_) return false;
      if (cutAfter_ && offset + size >= *cutAfter_) {
        out_.append(data, *cutAfter_ - std::min<std::size_t>(offset, *cutAfter_));
        offset = std::max(offset, *cutAfter_);
        flush();
        broken_ = true;
        return false;
      }
      offset += size;
      if (bytesPerSecond_ > 0) return throttled(data, size);
      out_.append(data, size);
      return out_.size() < kReplyPiece || flush();
    };
    sink.is_writable = [&] { return !broken_; };
    sink.done = [&] { ended = true; };
    const struct CountOut {
      std::uint64_t& total;
      const std::size_t& sent;
      ~CountOut() { total = sent; }
    } countOut{bytesOut_, offset};
    while (!broken_ && !ended && (!sized || offset < res.content_length_)) {
      if (!(sized ? res.content_provider_(offset, res.content_length_ - offset, sink)
                  : res.content_provider_(offset, 0, sink))) {
        broken_ = true;  // the reply cannot be completed: the connection must end
        return false;
      }
    }
    if (!flush()) return false;
    if (!sized) {
      static constexpr char kLast[] = "0\r\n\r\n";
      if (!writeAll({net::buffer(kLast, sizeof kLast - 1)})) return false;
    }
    res.content_provider_success_ = true;
    return true;
  }

  // Worker: writes `size` bytes no faster than the disruption's rate, a tenth
  // of a second's worth at a time.
  bool throttled(const char* data, std::size_t size) {
    if (!flush()) return false;
    const std::size_t slice = std::max<std::size_t>(1, bytesPerSecond_ / 10);
    for (std::size_t at = 0; at < size; at += slice) {
      const std::size_t n = std::min(slice, size - at);
      out_.append(data + at, n);
      if (!flush()) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(n * 1000000 / bytesPerSecond_));
    }
    return true;
  }

  // Worker: one request, from its header to its reply.
  // io thread: whether the request goes to a quick route with nothing more
  // to read, so that it is served here without a switch to a worker.
  bool quick() {
    const auto& header = parser_->get();
    if (header.method() != http::verb::get || !parser_->is_done()) return false;
    const std::string target(header.target());
    const Route* route = impl_.find("GET", decodePath(target.substr(0, target.find('?'))));
    return route && route->quick;
  }

  // Serves one request, from its header to its reply: on a worker, or on the
  // io thread (`inIo`) for a quick one, whose reply must then not block. An
  // exception ends this request with a server error and closes only its
  // connection.
  void serve(bool inIo) {
    try {
      serveRequest(inIo);
    } catch (const std::exception&) {
      net::dispatch(lowest().get_executor(),
                    [self = this->shared_from_this(), answerable = !replying_ && !broken_] {
                      if (!answerable) return self->lowest().close();
                      self->refuse(Refusal{500, "server error"});
                    });
    }
  }

  void serveRequest(bool inIo) {
    auto& header = parser_->get();
    httplib::Request req;
    req.method = std::string(header.method_string());
    req.target = std::string(header.target());
    req.path = decodePath(req.target.substr(0, req.target.find('?')));
    req.version = header.version() == 10 ? "HTTP/1.0" : "HTTP/1.1";
    req.remote_addr = address_;
    for (const auto& field : header) {
      req.headers.emplace(std::string(field.name_string()), std::string(field.value()));
    }
    // A plain body of declared length is read by readDirect, past the parser.
    direct_ = !kTls && !parser_->is_done() && !parser_->chunked() &&
              parser_->content_length().has_value();
    bodyLeft_ = direct_ ? *parser_->content_length() : 0;
    expectsContinue_ =
        ascii::lowercase(req.get_header_value("Expect")) == "100-continue" && !requestRead();
    continued_ = replying_ = broken_ = false;
    fault_.reset();
    cutAfter_.reset();
    bytesPerSecond_ = 0;
    bytesIn_ = bytesOut_ = 0;
    const auto began = std::chrono::steady_clock::now();

    httplib::Response res;
    bool handled = false;
    std::optional<HttpTransport::Disruption> disruption;
    if (!inIo && impl_.tap && impl_.tap->armed()) disruption = impl_.tap->inspect(req);
    if (disruption) {
      if (disruption->delay.count() > 0) std::this_thread::sleep_for(disruption->delay);
      if (disruption->reset || disruption->silent) {
        report(req, 0, 0, began, disruption->name);
        const bool reset = disruption->reset;
        net::dispatch(lowest().get_executor(), [self = this->shared_from_this(), reset] {
          if (reset) return self->resetConnection();
          self->hang();
        });
        return;
      }
      if (disruption->answer) {
        res = *disruption->answer;
        handled = true;
      }
      cutAfter_ = disruption->cutAfter;
      bytesPerSecond_ = disruption->bytesPerSecond;
    }
    const std::string faultName = disruption ? disruption->name : std::string();
    if (!handled && expectsContinue_ && impl_.expect) {
      const int status = impl_.expect(req, res);
      if (status != 100) {
        if (res.status < 0) res.status = status;
        handled = true;
      }
    }
    if (!handled && impl_.screen) handled = impl_.screen(req, res);
    if (!handled) {
      const std::string method = req.method == "HEAD" ? "GET" : req.method;
      const Route* route = impl_.find(method, req.path);
      if (!route) {
        res.status = 404;
      } else if (route->streamHandler) {
        const httplib::ContentReader reader(
            [this](httplib::ContentReceiver receive) { return readBody(receive); },
            [](httplib::MultipartContentHeader, httplib::ContentReceiver) { return false; });
        route->streamHandler(req, res, reader);
      } else {
        // The screen has bounded a body on a route that does not stream.
        bool read = requestRead() || readBody([&](const char* data, std::size_t size) {
                      req.body.append(data, size);
                      return true;
                    });
        if (read) {
          route->handler(req, res);
        } else if (!broken_) {
          res.status = 400;
        }
      }
      if (res.status < 0) res.status = 200;
    }
    // A body that broke its framing is answered for what it is, whatever the
    // handler made of the short read.
    if (fault_ && !replying_) res = faultReply(*fault_);
    if (res.status >= 400 && impl_.finish) impl_.finish(req, res);

    const bool close = fault_ || !header.keep_alive() || !requestRead() ||
                       ascii::lowercase(res.get_header_value("Connection")) == "close";
    if (bytesPerSecond_ > 0 && !res.content_provider_) {
      // A capped reply is written piece by piece, as a provider's is.
      auto body = std::make_shared<std::string>(std::move(res.body));
      res.set_content_provider(
          body->size(), res.get_header_value("Content-Type"),
          [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            return sink.write(body->data() + offset, std::min(length, body->size() - offset));
          });
    }
    if (!broken_ && !res.content_provider_) {
      const std::size_t size = req.method == "HEAD" ? 0 : res.body.size();
      report(req, res.status, cutAfter_ ? std::min(size, *cutAfter_) : size, began, faultName);
      return sendWhole(req, res, !close);
    }
    if (inIo) {
      // A reply made by a provider is written with blocking waits: a worker's.
      auto held = std::make_shared<std::pair<httplib::Request, httplib::Response>>(std::move(req),
                                                                                   std::move(res));
      impl_.workers.run([self = this->shared_from_this(), held, close, began, faultName] {
        self->provide(held->first, held->second, close, began, faultName);
      });
      return;
    }
    provide(req, res, close, began, faultName);
  }

  // The request log's record of one request, handed to the tap.
  void report(const httplib::Request& req, int status, std::uint64_t bytesOut,
              std::chrono::steady_clock::time_point began, const std::string& fault) {
    if (!impl_.tap) return;
    HttpTransport::Exchange exchange;
    exchange.connection = connection_;
    exchange.status = status;
    exchange.bytesIn = bytesIn_;
    exchange.bytesOut = bytesOut;
    exchange.duration = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - began);
    exchange.fault = fault;
    impl_.tap->served(req, exchange);
  }

  // Worker: writes a reply made by a provider, then goes on with the connection.
  void provide(const httplib::Request& req, httplib::Response& res, bool close,
               std::chrono::steady_clock::time_point began, const std::string& faultName) {
    const bool sent = !broken_ && sendReply(req, res, close);
    report(req, res.status, bytesOut_, began, faultName);
    const bool keep = sent && !close && !broken_ && requestRead();
    net::dispatch(lowest().get_executor(), [self = this->shared_from_this(), keep, sent] {
      if (keep) return self->awaitRequest();
      if (!sent) return self->lowest().close();
      self->finishConnection();
    });
  }

  HttpTransport::Impl& impl_;
  Stream stream_;
  std::string address_;
  beast::flat_buffer buffer_;
  std::optional<RequestParser> parser_;
  std::unique_ptr<char[]> piece_;
  std::string out_;  // reply body bytes not yet written
  bool chunked_ = false;
  const std::uint64_t connection_;            // this connection's number, for the log
  std::optional<std::size_t> cutAfter_;       // a disruption ends the reply body there
  std::size_t bytesPerSecond_ = 0;            // a disruption caps the reply's rate
  std::uint64_t bytesIn_ = 0, bytesOut_ = 0;  // of the request being served
  bool expectsContinue_ = false, continued_ = false, replying_ = false, broken_ = false;
  std::optional<Refusal> fault_;  // the body's framing was broken
  bool direct_ = false;           // the body is read by readDirect
  std::uint64_t bodyLeft_ = 0;    // of a body read by readDirect
  std::mutex socketMutex_;        // guards the three below
  bool workerReads_ = false;      // a worker reads the socket itself
  int workerSocket_ = -1;         // the socket it reads
  bool cancelled_ = false;        // the connection is being closed by stop()
};

}  // namespace

void HttpTransport::Impl::accept() {
  acceptor.async_accept(net::make_strand(io), [this](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || !acceptor.is_open()) return;
    if (!ec) {
      beast::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      const auto peer = socket.remote_endpoint(ignored);
      const std::string address = peer.address().to_string();
      bool admitted = false;
      {
        std::lock_guard<std::mutex> guard(mutex);
        if (!stopping && perAddress[address] < limits.perAddress) {
          ++perAddress[address];
          admitted = true;
        } else if (perAddress[address] == 0) {
          perAddress.erase(address);
        }
      }
      if (!admitted) {
        // Refused at once; a plain client is told why.
        beast::tcp_stream stream(std::move(socket));
        if (!tls) {
          beast::error_code failed;
          const std::string reply = plainReply(503, "too many connections");
          net::write(stream.socket(), net::buffer(reply), failed);
          lingerClose(std::move(stream));
        }
      } else {
        if (tls) {
          auto session = std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(
              *this, beast::ssl_stream<beast::tcp_stream>(std::move(socket), ssl), address);
          {
            std::lock_guard<std::mutex> guard(mutex);
            open[session.get()] = session;
          }
          session->begin();
        } else {
          auto session = std::make_shared<Session<beast::tcp_stream>>(
              *this, beast::tcp_stream(std::move(socket)), address);
          {
            std::lock_guard<std::mutex> guard(mutex);
            open[session.get()] = session;
          }
          session->begin();
        }
      }
    }
    accept();
  });
}

HttpTransport::HttpTransport(Limits limits, std::string certFile, std::string keyFile)
    : impl_(std::make_unique<Impl>(limits)) {
  if (certFile.empty()) return;
  impl_->tls = true;
  beast::error_code ec;
  impl_->ssl.use_certificate_chain_file(certFile, ec);
  if (!ec) impl_->ssl.use_private_key_file(keyFile, net::ssl::context::pem, ec);
  impl_->tlsReady = !ec;
}

HttpTransport::~HttpTransport() { stop(); }

bool HttpTransport::valid() const { return impl_->tlsReady; }

void HttpTransport::get(const std::string& pattern, Handler handler, bool quick) {
  impl_->routes.push_back(Route{"GET", std::regex(pattern), std::move(handler), nullptr, quick});
}

void HttpTransport::post(const std::string& pattern, StreamHandler handler) {
  impl_->routes.push_back(Route{"POST", std::regex(pattern), nullptr, std::move(handler)});
}

void HttpTransport::del(const std::string& pattern, StreamHandler handler) {
  impl_->routes.push_back(Route{"DELETE", std::regex(pattern), nullptr, std::move(handler)});
}

void HttpTransport::setTap(Tap* tap) { impl_->tap = tap; }
void HttpTransport::setScreen(Screen screen) { impl_->screen = std::move(screen); }
void HttpTransport::setExpect(Expect expect) { impl_->expect = std::move(expect); }
void HttpTransport::setFinish(Finish finish) { impl_->finish = std::move(finish); }

int HttpTransport::bind(int port) {
  beast::error_code ec;
  auto& acceptor = impl_->acceptor;
  const tcp::endpoint endpoint(net::ip::make_address_v4("127.0.0.1"),
                               static_cast<unsigned short>(port));
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    beast::error_code ignored;
    acceptor.close(ignored);
    return -1;
  }
  return acceptor.local_endpoint().port();
}

void HttpTransport::start() {
  impl_->keepRunning.emplace(impl_->io.get_executor());
  impl_->accept();
  std::size_t count = impl_->limits.ioThreads;
  if (count == 0) count = std::max(1u, std::thread::hardware_concurrency());
  for (std::size_t i = 0; i < count; ++i) {
    impl_->threads.emplace_back([io = &impl_->io] {
      // An exception out of one connection's handler drops that connection
      // (its state goes with the handler); the others go on.
      for (;;) {
        try {
          io->run();
          return;
        } catch (const std::exception&) {
        }
      }
    });
  }
}

void HttpTransport::stop() {
  if (impl_->threads.empty()) return;
  std::vector<std::shared_ptr<Connection>> open;
  {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    impl_->stopping = true;
    for (auto& [key, weak] : impl_->open) {
      if (auto connection = weak.lock()) open.push_back(std::move(connection));
    }
  }
  net::post(impl_->io, [impl = impl_.get()] {
    beast::error_code ignored;
    impl->acceptor.close(ignored);
  });
  // Open connections end at once; a handler still busy finishes on its own
  // (its next read or write fails) within the bound.
  for (auto& connection : open) connection->cancel();
  open.clear();
  impl_->workers.drain(std::chrono::seconds(10));
  impl_->keepRunning.reset();
  impl_->io.stop();
  for (auto& thread : impl_->threads) thread.join();
  impl_->threads.clear();
}

std::size_t HttpTransport::liveWorkers() { return liveWorkerCount.load(); }

}  // namespace nb::server
