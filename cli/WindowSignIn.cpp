#include "cli/WindowSignIn.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nb/Private/JsonFramework/JsonValue.h"

extern char** environ;

namespace nb::cli {
namespace {

// The window program beside this binary, or empty when this build has none.
std::string windowProgram() {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return {};
  std::string path(self, static_cast<std::size_t>(length));
  path.erase(path.rfind('/') + 1);
  path += "nb-window";
  return access(path.c_str(), X_OK) == 0 ? path : std::string();
}

// This process's environment with the consumer set, for the window program.
std::vector<std::string> childEnvironment(const NBConsumer& consumer) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "NB_CONSUMER_KEY=", 16) != 0 &&
        std::strncmp(*entry, "NB_CONSUMER_SECRET=", 19) != 0) {
      env.emplace_back(*entry);
    }
  }
  env.push_back("NB_CONSUMER_KEY=" + consumer.key.value_or(""));
  env.push_back("NB_CONSUMER_SECRET=" + consumer.secret.value_or(""));
  return env;
}

// The failure the window program reported as "CODE MESSAGE".
Status reportedFailure(const std::string& line) {
  char* end = nullptr;
  const long code = std::strtol(line.c_str(), &end, 10);
  if (end == line.c_str() || code <= 0 || code > static_cast<long>(StatusCode::kInternal)) {
    return Status::internal("nb-window failed: " + line);
  }
  return Status(static_cast<StatusCode>(code), *end == ' ' ? std::string(end + 1) : "");
}

}  // namespace

Status runWindowSignIn(CommandContext& context, bool registration, const std::string& user) {
  auto consumer = context.consumer();
  if (!consumer.ok()) return consumer.status();
  const std::string program = windowProgram();
  if (program.empty()) {
    return Status::unavailable("this build of nb has no window support (no nb-window beside it)");
  }

  std::vector<std::string> args = {"nb-window", registration ? "register" : "login"};
  if (!user.empty()) args.push_back(user);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = childEnvironment(**consumer);
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);

  // The program's stdout carries its failure line; stderr is shared.
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return Status::internal(std::strerror(errno));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  pid_t child = 0;
  const int spawned =
      posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    return Status::unavailable("cannot run " + program + ": " + std::strerror(spawned));
  }
  std::string reply;
  char buffer[512];
  for (;;) {
    const ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n > 0) {
      reply.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(out[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }

  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    JsonValue value = JsonValue::object();
    value.set("signed_in", JsonValue(true));
    context.printer().result(value, "Signed in");
    return Status::OK();
  }
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
  if (WIFEXITED(status) && !reply.empty()) return reportedFailure(reply);
  if (WIFSIGNALED(status)) {
    return Status::internal("nb-window ended by signal " + std::to_string(WTERMSIG(status)));
  }
  return Status::internal("nb-window failed with exit code " +
                          std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1));
}

}  // namespace nb::cli
