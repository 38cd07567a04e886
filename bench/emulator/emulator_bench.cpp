// Load for the emulator and for a static web server beside it, over plain
// blocking sockets and HTTP/1.1 keep-alive, one thread per client:
//   bench_emulator signed PORT CLIENTS SECONDS KEY SECRET USER PASSWORD
//       signed account_info requests (each freshly signed with the library's
//       SignatureHelper), CLIENTS connections for SECONDS
//   bench_emulator static PORT CLIENTS SECONDS PATH
//       plain GETs of PATH
//   bench_emulator upload PORT MIB KEY SECRET USER PASSWORD
//       one signed upload of MIB MiB (plain body) to the content host
//   bench_emulator put PORT MIB PATH
//       one PUT of MIB MiB to PATH
//   bench_emulator slow PORT COUNT SERVER_PID KEY SECRET USER PASSWORD
//       COUNT connections that send a request one byte at a time, then the
//       time one normal signed request takes, and the server's memory
// Prints one line of key=value pairs.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "nb/Private/NBAuthOperationItem.h"
#include "nb/Private/NSStringHelper.h"
#include "nb/Private/SignatureHelper.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kApi = "api.nimbus.test";
const std::string kContent = "content.nimbus.test";

class Connection {
 public:
  explicit Connection(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    int yes = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  }
  ~Connection() { close(fd_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool ok() const { return ok_; }
  bool send(const char* data, std::size_t size) {
    while (size > 0) {
      const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
      if (n <= 0) return ok_ = false;
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }
  bool send(const std::string& text) { return send(text.data(), text.size()); }
  // Reads one reply; its status, or 0 when the connection failed.
  int reply(std::string* body = nullptr) {
    for (;;) {
      const auto head = buffer_.find("\r\n\r\n");
      if (head != std::string::npos) {
        std::size_t length = 0;
        const auto at = lowerFind(buffer_.substr(0, head), "content-length:");
        if (at != std::string::npos) length = std::strtoul(buffer_.c_str() + at + 15, nullptr, 10);
        if (buffer_.size() >= head + 4 + length) {
          const int status = std::atoi(buffer_.c_str() + 9);
          if (body) *body = buffer_.substr(head + 4, length);
          buffer_.erase(0, head + 4 + length);
          return status;
        }
      }
      char chunk[65536];
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return ok_ = false, 0;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  static std::size_t lowerFind(std::string text, const std::string& needle) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text.find(needle);
  }
  int fd_;
  bool ok_ = false;
  std::string buffer_;
};

struct Account {
  nb::NBConsumer consumer;
  nb::NBToken token;
};

std::string jsonText(const std::string& json, const std::string& key) {
  const auto at = json.find("\"" + key + "\":\"");
  if (at == std::string::npos) return "";
  const auto start = at + key.size() + 4;
  return json.substr(start, json.find('"', start) - start);
}

std::string target(const std::string& url) { return url.substr(url.find('/', 8)); }

Account login(int port, char** args) {
  nb::NBConsumer consumer(args[0], args[1]);
  nb::NBAuthOperationItem item;
  item.consumer = std::make_shared<nb::NBConsumer>(consumer);
  item.userName = args[2];
  item.password = args[3];
  item.httpMethod = "POST";
  const std::string url = nb::SignatureHelper::getXAuthSignatureUrlString(
      "http://" + kApi + "/open/xAccessToken", item);
  const std::string body = "x_auth_password=" + nb::NSStringHelper::urlEncodeCovertString(args[3]);
  Connection connection(port);
  connection.send("POST " + target(url) + " HTTP/1.1\r\nHost: " + kApi +
                  "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body);
  std::string reply;
  if (connection.reply(&reply) != 200) {
    std::fprintf(stderr, "login failed: %s\n", reply.c_str());
    std::exit(1);
  }
  return Account{
      consumer, nb::NBToken(jsonText(reply, "oauth_token"), jsonText(reply, "oauth_token_secret"))};
}

std::string signedRequest(const Account& account) {
  const std::string url = nb::SignatureHelper::getSignatureUrlString(
      "http://" + kApi + "/1/account_info", "GET", account.consumer, &account.token, nullptr);
  return "GET " + target(url) + " HTTP/1.1\r\nHost: " + kApi + "\r\n\r\n";
}

long peakKib(long pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  long rss = 0;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) rss = std::atol(line.c_str() + 6);
  }
  return rss;
}

// CLIENTS threads send requests made by `make` for SECONDS; throughput and
// latency percentiles over all of them.
template <typename Make>
int load(int port, int clients, double seconds, Make make) {
  std::vector<std::vector<double>> latencies(static_cast<std::size_t>(clients));
  std::atomic<long> errors{0};
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      auto connection = std::make_unique<Connection>(port);
      while (Clock::now() < end) {
        const std::string request = make();
        const auto start = Clock::now();
        if (!connection->send(request) || connection->reply() != 200) {
          ++errors;
          connection = std::make_unique<Connection>(port);
          continue;
        }
        latencies[static_cast<std::size_t>(i)].push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      }
    });
  }
  for (auto& t : threads) t.join();
  std::vector<double> all;
  for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  const auto at = [&](double q) {
    return all.empty() ? 0.0
                       : all[std::min(all.size() - 1, static_cast<std::size_t>(q * all.size()))];
  };
  std::printf("requests=%zu errors=%ld per_second=%.0f p50_ms=%.3f p99_ms=%.3f\n", all.size(),
              errors.load(), static_cast<double>(all.size()) / seconds, at(0.50), at(0.99));
  return 0;
}

int upload(int port, long mib, const std::string& head) {
  Connection connection(port);
  const std::string block(1 << 20, 'u');
  const auto start = Clock::now();
  connection.send(head);
  for (long i = 0; i < mib; ++i) {
    if (!connection.send(block)) break;
  }
  std::string body;
  const int status = connection.reply(&body);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("status=%d seconds=%.3f mib_per_second=%.0f\n", status, seconds,
              static_cast<double>(mib) / seconds);
  return status == 200 || status == 201 || status == 204 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return std::fprintf(stderr, "see the comment at the top\n"), 2;
  const std::string mode = argv[1];
  const int port = std::atoi(argv[2]);
  if (mode == "signed" && argc == 9) {
    const Account account = login(port, argv + 5);
    return load(port, std::atoi(argv[3]), std::atof(argv[4]),
                [&] { return signedRequest(account); });
  }
  if (mode == "static" && argc == 6) {
    const std::string request =
        std::string("GET ") + argv[5] + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
    return load(port, std::atoi(argv[3]), std::atof(argv[4]), [&] { return request; });
  }
  if (mode == "upload" && argc == 8) {
    const Account account = login(port, argv + 4);
    const long mib = std::atol(argv[3]);
    const nb::NBParameters params{{"root", "app"}, {"path", "/bench.bin"}, {"overwrite", "True"}};
    const std::string url = nb::SignatureHelper::getSignatureUrlString(
        "http://" + kContent + "/1/fileops/upload_file", "POST", account.consumer, &account.token,
        &params);
    return upload(port, mib,
                  "POST " + target(url) + " HTTP/1.1\r\nHost: " + kContent +
                      "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                      std::to_string(mib << 20) + "\r\n\r\n");
  }
  if (mode == "put" && argc == 5) {
    const long mib = std::atol(argv[3]);
    return upload(port, mib,
                  std::string("PUT ") + argv[4] +
                      " HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/octet-stream\r\n"
                      "Content-Length: " +
                      std::to_string(mib << 20) + "\r\n\r\n");
  }
  if (mode == "slow" && argc == 9) {
    const Account account = login(port, argv + 5);
    const int count = std::atoi(argv[3]);
    const long pid = std::atol(argv[4]);
    std::vector<std::unique_ptr<Connection>> slow;
    for (int i = 0; i < count; ++i) {
      slow.push_back(std::make_unique<Connection>(port));
      slow.back()->send("G");
    }
    // Two more bytes each, a moment apart, as a trickling client sends them.
    for (const char* byte : {"E", "T"}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      for (auto& connection : slow) connection->send(byte);
    }
    Connection normal(port);
    const auto start = Clock::now();
    normal.send(signedRequest(account));
    const int status = normal.reply();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    long open = 0;
    for (auto& connection : slow) open += connection->ok() ? 1 : 0;
    std::printf("status=%d normal_ms=%.1f slow_open=%ld server_rss_kib=%ld\n", status, ms, open,
                peakKib(pid));
    return status == 200 ? 0 : 1;
  }
  std::fprintf(stderr, "unknown mode or wrong arguments (see the comment at the top)\n");
  return 2;
}
