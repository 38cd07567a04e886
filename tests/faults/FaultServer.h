// FaultServer runs tests/faults/fault_server.py for a test: a misbehaving
// HTTP(S) server with one pair of loopback ports (plain, TLS) per fault, and a
// trusted CA in its own temporary folder. connectTo(fault) gives the
// NB_CONNECT_TO value that sends every host's ports 80 and 443 to that fault.
// The server exits when this object closes its standard input (destructor).
// Use from one thread.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/TemporaryFolder.h"

namespace nb::test {

class FaultServer {
 public:
  // `hosts` are the names the TLS certificates are made for.
  explicit FaultServer(const std::vector<std::string>& hosts) {
    if (!folder_.ok()) return;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<std::string> args = {
        "/usr/bin/python3", NB_SOURCE_DIR "/tests/faults/fault_server.py", folder_.path().string()};
    args.insert(args.end(), hosts.begin(), hosts.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    readPorts(out[0]);
    close(out[0]);
  }
  ~FaultServer() {
    if (stdin_ >= 0) close(stdin_);
    if (pid_ > 0) {
      // It leaves at once on end of input; a stuck one is killed.
      for (int i = 0; i < 500; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) != 0) return;
        usleep(10000);
      }
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  bool ok() const { return ready_; }
  std::string caFile() const { return (folder_.path() / "trusted-ca.pem").string(); }
  std::string connectTo(const std::string& fault) const {
    const auto it = ports_.find(fault);
    if (it == ports_.end()) return "";
    return ":80:127.0.0.1:" + std::to_string(it->second.first) +
           ",:443:127.0.0.1:" + std::to_string(it->second.second);
  }

 private:
  void readPorts(int fd) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (text.find("ready\n") == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      pollfd p{fd, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return;
      char chunk[1024];
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) return;
      text.append(chunk, static_cast<std::size_t>(n));
    }
    std::istringstream lines(text);
    std::string fault;
    int plain = 0, tls = 0;
    while (lines >> fault && fault != "ready" && lines >> plain >> tls) {
      ports_[fault] = {plain, tls};
    }
    ready_ = true;
  }

  TemporaryFolder folder_{"nb-faults"};
  pid_t pid_ = -1;
  int stdin_ = -1;
  bool ready_ = false;
  std::map<std::string, std::pair<int, int>> ports_;  // fault: plain and TLS ports
};

}  // namespace nb::test
