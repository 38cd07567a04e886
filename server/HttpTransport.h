// HttpTransport: one HTTP or HTTPS listener on 127.0.0.1, event driven. A few
// io threads wait on every open connection at once, so clients that are idle,
// slow or trickle cost a small buffer each and no thread. Each connection is
// held to limits the handlers never see: a deadline for a request's whole
// header (not per byte), a bound on the header's size (431 past it), and a
// bound on the connections open from one client address (503 past it).
//
// Once a request's header is in, the request runs on a worker thread, as the
// handlers block (database, files, a body read as it arrives): they keep the
// request/response shape of the transport types in <httplib.h>. A handler's
// reads and writes wait on the io threads with their own deadline, so a client
// that stops reading or sending ends its connection, not a worker.
//
// Set up (routes, hooks, bind) from one thread before start(); stop() closes
// every connection and waits, bounded, for the workers.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace nb::server {

class HttpTransport {
 public:
  struct Limits {
    std::chrono::milliseconds idle{5000};     // for a kept-alive connection's next request
    std::chrono::milliseconds header{10000};  // the whole header, from its first byte
    std::chrono::milliseconds io{30000};      // a body read or reply write that stalls
    std::size_t headerBytes = 16 * 1024;
    std::size_t perAddress = 1024;  // connections open at once from one client address
    std::size_t workers = 4096;     // requests served at once
    std::size_t ioThreads = 0;      // 0: one per core
  };
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
  using StreamHandler = std::function<void(const httplib::Request&, httplib::Response&,
                                           const httplib::ContentReader&)>;
  // Runs on a request's header before it is routed; true when it has set the
  // reply itself (the body is then not read, and the connection closes).
  using Screen = std::function<bool(const httplib::Request&, httplib::Response&)>;
  // Answers "Expect: 100-continue": 100 to let the body come, else the status
  // of the refusal it has set on the response.
  using Expect = std::function<int(const httplib::Request&, httplib::Response&)>;
  // Sees every reply with a status of 400 or more before it goes out.
  using Finish = std::function<void(const httplib::Request&, httplib::Response&)>;

  // What a test asked to be done to one request in place of (or before)
  // serving it as usual.
  struct Disruption {
    std::string name;                         // reported in the request log
    std::chrono::milliseconds delay{0};       // waited before anything else
    std::optional<httplib::Response> answer;  // replaces the route's reply
    std::optional<std::size_t> cutAfter;      // the body ends there, and the connection
    std::size_t bytesPerSecond = 0;           // the reply body goes out no faster; 0: no cap
    bool reset = false;                       // the connection is reset, nothing answered
    bool silent = false;  // nothing answered; the connection stays open until the client leaves
  };
  // One request as served, for the request log.
  struct Exchange {
    std::uint64_t connection = 0;             // numbered from 1 per process
    int status = 0;                           // 0 when nothing was answered
    std::uint64_t bytesIn = 0, bytesOut = 0;  // body bytes read and reply body bytes sent
    std::chrono::microseconds duration{0};    // from the header's arrival to the reply handed out
    std::string fault;                        // the disruption's name, if any
  };
  // Sees each request before it is routed and each one once answered. Owned
  // by the caller, outliving the listener; called from any request thread.
  class Tap {
   public:
    virtual ~Tap() = default;
    // Cheap, on an io thread: whether inspect() may return anything at all.
    virtual bool armed() const = 0;
    virtual std::optional<Disruption> inspect(const httplib::Request& req) = 0;
    virtual void served(const httplib::Request& req, const Exchange& exchange) = 0;
  };

  // A plain listener, or a TLS one with the certificate chain and key files.
  explicit HttpTransport(Limits limits, std::string certFile = "", std::string keyFile = "");
  ~HttpTransport();
  HttpTransport(const HttpTransport&) = delete;
  HttpTransport& operator=(const HttpTransport&) = delete;

  // False when the TLS certificate or key could not be loaded.
  bool valid() const;

  // Routes match the whole decoded path with an ECMAScript pattern. A GET's
  // body (within the screen's bound) is read into Request::body; a POST's
  // handler reads its own through the ContentReader.
  // A `quick` GET (short work, no blocking on the network) whose request has
  // no body runs on an io thread, saving the switch to a worker.
  void get(const std::string& pattern, Handler handler, bool quick = false);
  void post(const std::string& pattern, StreamHandler handler);
  void del(const std::string& pattern, StreamHandler handler);
  void setScreen(Screen screen);
  void setExpect(Expect expect);
  void setFinish(Finish finish);
  void setTap(Tap* tap);

  // Binds 127.0.0.1:`port` (0 picks a free one) without SO_REUSEPORT; the
  // port bound, or -1 when it is taken.
  int bind(int port);
  void start();
  void stop();
  // Workers still running in this process, over all listeners (a handler
  // still busy when stop() stopped waiting).
  static std::size_t liveWorkers();

  struct Impl;  // the listener's state, shared with its connections

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace nb::server
