// Servers for tests, on random loopback ports, each running in its own thread:
// HttpTestServer (an HTTP server whose routes a test registers) and
// RawTestServer (a TCP listener whose connections a test handles byte by byte,
// for misbehaving peers). Both stop and join in their destructors.
#pragma once

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace nb::test {

class HttpTestServer {
 public:
  HttpTestServer() {
    // One request per connection: idle keep-alive connections would hold the
    // server's few threads (and its stop) for seconds.
    server.set_keep_alive_max_count(1);
    // The library listens with a backlog of 5: a test that opens dozens of
    // connections at once on a busy machine overflowed it, and each dropped
    // connection attempt waited seconds for its retry. The listening socket
    // is kept from the options call and given a long queue once bound.
    int listening = -1;
    server.set_socket_options([&listening](socket_t socket) {
      httplib::default_socket_options(socket);
      listening = socket;
    });
    port_ = server.bind_to_any_port("127.0.0.1");
    if (listening >= 0) ::listen(listening, 1024);
    thread_ = std::thread([this] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~HttpTestServer() {
    server.stop();
    thread_.join();
  }
  int port() const { return port_; }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  httplib::Server server;  // register routes before the first request

 private:
  int port_ = 0;
  std::thread thread_;
};

// Binds 127.0.0.1 on a free port; returns the listening socket and sets `port`.
inline int listenOnLoopback(int* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(fd, 1024);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

// A loopback port on which nothing listens (connecting is refused).
inline int closedPort() {
  int port = 0;
  ::close(listenOnLoopback(&port));
  return port;
}

class RawTestServer {
 public:
  // `handler(fd, stopping)` serves one accepted connection; the server closes
  // fd afterwards. Handlers that wait should give up once `stopping` is set.
  explicit RawTestServer(std::function<void(int, const std::atomic<bool>&)> handler)
      : handler_(std::move(handler)) {
    listen_ = listenOnLoopback(&port_);
    thread_ = std::thread([this] {
      for (;;) {
        const int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;  // shut down
        handler_(client, stopping_);
        ::close(client);
      }
    });
  }
  ~RawTestServer() {
    stopping_ = true;
    ::shutdown(listen_, SHUT_RDWR);
    thread_.join();
    ::close(listen_);
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  // Reads until the end of the request headers (enough for bodiless requests).
  static void readRequestHead(int fd) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) return;
      head.append(buffer, static_cast<std::size_t>(got));
    }
  }
  static void sendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
  }

 private:
  std::function<void(int, const std::atomic<bool>&)> handler_;
  std::atomic<bool> stopping_{false};
  int listen_ = -1;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace nb::test
