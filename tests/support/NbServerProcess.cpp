#include "tests/support/NbServerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "nb/platform/internal/Transport.h"

namespace nb::test {
namespace {

constexpr int kStartTimeoutMs = 15000;
const char* const kExpected[] = {"NB_CONNECT_TO", "NB_CA_FILE", "NB_CONSUMER_KEY",
                                 "NB_CONSUMER_SECRET", "NB_DEV_VERIFICATION_CODE"};

pid_t spawn(const std::vector<std::string>& args, int stdoutFd) {
  std::vector<char*> argv;
  std::string binary = NB_SERVER_BINARY;
  argv.push_back(binary.data());
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (stdoutFd >= 0) dup2(stdoutFd, STDOUT_FILENO);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

// Parses "export NAME='value'" (single-quoted, with '\'' for a quote).
bool parseExport(const std::string& line, std::string* name, std::string* value) {
  if (line.rfind("export ", 0) != 0) return false;
  const auto eq = line.find('=');
  if (eq == std::string::npos) return false;
  *name = line.substr(7, eq - 7);
  value->clear();
  bool quoted = false;
  for (std::size_t i = eq + 1; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\'') {
      quoted = !quoted;
    } else if (c == '\\' && !quoted && i + 1 < line.size()) {
      value->push_back(line[++i]);
    } else {
      value->push_back(c);
    }
  }
  return true;
}

int portAfter(const std::string& connectTo, const std::string& prefix) {
  const auto at = connectTo.find(prefix);
  if (at == std::string::npos) return 0;
  return std::atoi(connectTo.c_str() + at + prefix.size());
}

}  // namespace

NbServerProcess::NbServerProcess(std::vector<std::string> extraArgs)
    : extraArgs_(std::move(extraArgs)) {
  if (!folder_.ok()) {
    error_ = "cannot make a temporary folder";
    return;
  }
  data_ = folder_.path().string();
  launch();
}

NbServerProcess::~NbServerProcess() {
  stop(SIGTERM);
}

bool NbServerProcess::launch() {
  env_.clear();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error_ = "pipe failed";
    return false;
  }
  std::vector<std::string> args = {"--port", "0", "--tls-port", "0", "--data", data_, "--dev"};
  args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
  pid_ = spawn(args, fds[1]);
  close(fds[1]);
  std::string buffer;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  auto complete = [&] {
    for (const char* name : kExpected) {
      if (!env_.count(name)) return false;
    }
    return true;
  };
  while (!complete()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd p{fds[0], POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char chunk[4096];
    const ssize_t n = read(fds[0], chunk, sizeof chunk);
    if (n <= 0) break;
    buffer.append(chunk, static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = buffer.find('\n')) != std::string::npos) {
      std::string name, value;
      if (parseExport(buffer.substr(0, newline), &name, &value)) env_[name] = value;
      buffer.erase(0, newline + 1);
    }
  }
  close(fds[0]);
  if (!complete()) {
    error_ = "nbserver did not print its export lines";
    env_.clear();
    stop(SIGKILL);
    return false;
  }
  const std::string& connectTo = env_["NB_CONNECT_TO"];
  httpPort_ = portAfter(connectTo, ":80:127.0.0.1:");
  httpsPort_ = portAfter(connectTo, ":443:127.0.0.1:");
  return true;
}

std::string NbServerProcess::env(const std::string& name) const {
  const auto it = env_.find(name);
  return it == env_.end() ? std::string() : it->second;
}

void NbServerProcess::setEnvironment() const {
  for (const auto& [name, value] : env_) setenv(name.c_str(), value.c_str(), 1);
  // The library reads its environment once per process; later servers of the
  // same test program reach it through the standard transport instead.
  Transport::setStandard(Transport::curl(settings()));
}

EnvironmentSettings NbServerProcess::settings() const {
  EnvironmentSettings settings;
  settings.caFile = env("NB_CA_FILE");
  settings.connectTo = EnvironmentSettings::splitConnectTo(env("NB_CONNECT_TO"));
  return settings;
}

int NbServerProcess::runCommand(const std::vector<std::string>& args) const {
  const pid_t pid = spawn(args, -1);
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool NbServerProcess::addUser(const std::string& name, const std::string& password,
                              const std::vector<std::string>& extra) const {
  std::vector<std::string> args = {"user", "add", "--data", data_, name, password};
  args.insert(args.end(), extra.begin(), extra.end());
  return runCommand(args) == 0;
}

void NbServerProcess::stop(int signal) {
  if (pid_ <= 0) return;
  kill(pid_, signal);
  int status = 0;
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

bool NbServerProcess::restart() {
  stop(SIGTERM);
  return launch();
}

}  // namespace nb::test
