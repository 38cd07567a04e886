// libFuzzer target for the emulator's connection handling: each input is sent
// whole, as raw bytes (a header, a body, trailers, requests sent ahead), over
// a real loopback connection to an HttpTransport listener with routes shaped
// like the service's (a quick GET, a GET on a worker, a POST that streams its
// body, the bound on other bodies). The client then stops sending; the server
// must answer or close within a bound, and stay up for the next input.
// Built by fuzz/run with clang.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "server/HttpTransport.h"

namespace {

using nb::server::HttpTransport;

// Body bytes a non-streaming route takes, as the service's form bound.
constexpr std::size_t kFormBody = 1024;

// Serves until the process ends (held here so that it is not taken for a leak).
HttpTransport* transport = nullptr;

// One listener for the whole run, with short limits so that a stalled
// request ends quickly.
int listenerPort() {
  static const int port = [] {
    HttpTransport::Limits limits;
    limits.idle = std::chrono::milliseconds(300);
    limits.header = std::chrono::milliseconds(500);
    limits.io = std::chrono::milliseconds(500);
    limits.workers = 8;
    limits.ioThreads = 2;
    transport = new HttpTransport(limits);
    transport->get(
        "/quick", [](const httplib::Request& req, httplib::Response& res) {
          res.set_content(req.target, "text/plain");
        },
        true);
    transport->get("/slow/.*", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.body, "text/plain");
    });
    transport->post("/upload",
                    [](const httplib::Request&, httplib::Response& res,
                       const httplib::ContentReader& reader) {
                      std::size_t total = 0;
                      const bool read = reader([&](const char*, std::size_t n) {
                        total += n;
                        return true;
                      });
                      res.status = read ? 200 : 400;
                      res.set_content(std::to_string(total), "text/plain");
                    });
    transport->setScreen([](const httplib::Request& req, httplib::Response& res) {
      if (req.method == "POST" && req.path == "/upload") return false;
      const std::string length = req.get_header_value("Content-Length");
      if (!req.has_header("Transfer-Encoding") &&
          (length.empty() || (length.size() < 6 && std::stoul("0" + length) <= kFormBody))) {
        return false;
      }
      res.status = 413;
      res.set_header("Connection", "close");
      return true;
    });
    const int bound = transport->bind(0);
    check(bound > 0);
    transport->start();
    return bound;
  }();
  return port;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  check(fd >= 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(listenerPort()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  check(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
  // The server may close before taking everything (a refusal): what it did
  // not take is simply not sent.
  for (std::size_t sent = 0; sent < size;) {
    const ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  shutdown(fd, SHUT_WR);
  // Every request either is answered or ends the connection within the
  // limits above (and the linger after a last reply), never later.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  char buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{fd, POLLIN, 0};
    check(left.count() > 0 && poll(&ready, 1, static_cast<int>(left.count())) > 0);
    if (recv(fd, buffer, sizeof buffer, 0) <= 0) break;
  }
  close(fd);
  return 0;
}
