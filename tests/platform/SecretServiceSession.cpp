#include "tests/platform/SecretServiceSession.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace nb::test {
namespace {

// Runs under dbus-run-session: starts the keyring daemon (which reads the
// password on its standard input), tells the test the bus address, then waits
// for the test's end of a pipe to close (the test ending, even by a crash);
// then the session ends, and with it the bus and the keyring daemon.
constexpr const char* kSessionScript = R"(
dir=$1
gnome-keyring-daemon --daemonize --unlock --components=secrets \
  < "$dir/password" > "$dir/keyring.env" 2> "$dir/keyring.log" || exit 1
printf '%s' "$DBUS_SESSION_BUS_ADDRESS" > "$dir/address.tmp"
mv "$dir/address.tmp" "$dir/address"
exec cat > /dev/null
)";

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// This process's environment with HOME and the XDG folders moved into
// `folder`, and DBUS_SESSION_BUS_ADDRESS as given (absent when empty). Built
// before fork, since a child of a threaded process may only exec.
std::vector<std::string> environmentFor(const std::string& folder, const std::string& bus) {
  const std::pair<std::string, std::string> overrides[] = {{"HOME", folder},
                                                           {"XDG_DATA_HOME", folder + "/data"},
                                                           {"XDG_CONFIG_HOME", folder + "/config"},
                                                           {"XDG_CACHE_HOME", folder + "/cache"},
                                                           {"XDG_RUNTIME_DIR", folder + "/run"},
                                                           {"DBUS_SESSION_BUS_ADDRESS", bus}};
  std::vector<std::string> result;
  for (char** each = environ; *each != nullptr; ++each) {
    const std::string entry = *each;
    bool replaced = false;
    for (const auto& [name, value] : overrides) {
      replaced = replaced || entry.rfind(name + "=", 0) == 0;
    }
    if (!replaced) result.push_back(entry);
  }
  for (const auto& [name, value] : overrides) {
    if (!value.empty()) result.push_back(name + "=" + value);
  }
  return result;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Starts `argv` with `environment`, its output (and errors, when `withErrors`)
// into `outputFd` and its input from `inputFd` (/dev/null for -1).
pid_t spawn(std::vector<std::string> argv, std::vector<std::string> environment, int outputFd,
            bool withErrors, int inputFd = -1) {
  std::vector<char*> args = pointersTo(argv);
  std::vector<char*> envp = pointersTo(environment);
  const pid_t child = ::fork();
  if (child == 0) {
    const int devnull = ::open("/dev/null", O_RDWR);
    const int out = outputFd >= 0 ? outputFd : devnull;
    ::dup2(inputFd >= 0 ? inputFd : devnull, 0);
    ::dup2(out, 1);
    ::dup2(withErrors ? out : devnull, 2);
    ::execvpe(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  return child;
}

// A private connection to the bus at `address` (not GIO's shared one, which
// would end this process when the bus goes away).
GDBusConnection* connect(const std::string& address) {
  GError* error = nullptr;
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (connection == nullptr) {
    ADD_FAILURE() << "cannot reach the test bus: " << error->message;
    g_error_free(error);
  }
  return connection;
}

GVariant* call(GDBusConnection* connection, const char* name, const char* path,
               const char* interface, const char* method, GVariant* arguments) {
  GError* error = nullptr;
  GVariant* reply =
      g_dbus_connection_call_sync(connection, name, path, interface, method, arguments, nullptr,
                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
  if (reply == nullptr) {
    ADD_FAILURE() << method << " failed: " << error->message;
    g_error_free(error);
  }
  return reply;
}

}  // namespace

SecretServiceSession::SecretServiceSession() : folderPath_(folder_.path().string()) {
  if (const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS")) previousAddress_ = previous;
  std::ofstream(folderPath_ + "/password") << "test-password";
  for (const char* sub : {"/data", "/config", "/cache", "/run"}) {
    ::mkdir((folderPath_ + sub).c_str(), 0700);
  }
  int lifeline[2];
  if (::pipe2(lifeline, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "cannot make a pipe";
    return;
  }
  runner_ = spawn({"dbus-run-session", "--", "sh", "-c", kSessionScript, "sh", folderPath_},
                  environmentFor(folderPath_, ""), -1, false, lifeline[0]);
  ::close(lifeline[0]);
  lifeline_ = lifeline[1];
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < giveUp) {
    if (::access((folderPath_ + "/address").c_str(), F_OK) == 0) break;
    int status = 0;
    if (::waitpid(runner_, &status, WNOHANG) == runner_) {
      runner_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  address_ = readFile(folderPath_ + "/address");
  if (address_.empty()) {
    ADD_FAILURE() << "the Secret Service did not start: " << readFile(folderPath_ + "/keyring.log");
    return;
  }
  ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
  // The daemon may return before its name is on the bus.
  if (GDBusConnection* connection = connect(address_)) {
    bool owned = false;
    while (!owned && std::chrono::steady_clock::now() < giveUp) {
      if (GVariant* reply = call(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "NameHasOwner",
                                 g_variant_new("(s)", "org.freedesktop.secrets"))) {
        gboolean value = FALSE;
        g_variant_get(reply, "(b)", &value);
        g_variant_unref(reply);
        owned = value;
      }
      if (!owned) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
    if (!owned) ADD_FAILURE() << "the keyring daemon did not appear on the bus";
  }
  keyring_ = keyringPid();
}

SecretServiceSession::~SecretServiceSession() {
  stop();
  if (previousAddress_) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", previousAddress_->c_str(), 1);
  } else {
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
}

void SecretServiceSession::stop() {
  if (keyring_ > 0) {
    ::kill(keyring_, SIGCONT);  // a test may have stopped it
    ::kill(keyring_, SIGTERM);
    keyring_ = -1;
  }
  stopBus();
}

void SecretServiceSession::stopBus() {
  if (lifeline_ >= 0) {
    ::close(lifeline_);
    lifeline_ = -1;
  }
  if (runner_ > 0) {
    int status = 0;
    ::waitpid(runner_, &status, 0);
    runner_ = -1;
  }
}

void SecretServiceSession::lockDefaultCollection() {
  GDBusConnection* connection = connect(address_);
  if (connection == nullptr) return;
  const gchar* paths[] = {"/org/freedesktop/secrets/collection/login", nullptr};
  if (GVariant* reply =
          call(connection, "org.freedesktop.secrets", "/org/freedesktop/secrets",
               "org.freedesktop.Secret.Service", "Lock", g_variant_new("(^ao)", paths))) {
    g_variant_unref(reply);
  }
  g_dbus_connection_close_sync(connection, nullptr, nullptr);
  g_object_unref(connection);
}

pid_t SecretServiceSession::keyringPid() {
  if (keyring_ > 0) return keyring_;
  GDBusConnection* connection = connect(address_);
  if (connection == nullptr) return -1;
  pid_t pid = -1;
  if (GVariant* reply =
          call(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
               "GetConnectionUnixProcessID", g_variant_new("(s)", "org.freedesktop.secrets"))) {
    guint32 value = 0;
    g_variant_get(reply, "(u)", &value);
    pid = static_cast<pid_t>(value);
    g_variant_unref(reply);
  }
  g_dbus_connection_close_sync(connection, nullptr, nullptr);
  g_object_unref(connection);
  return pid;
}

SecretServiceSession::Output SecretServiceSession::run(const std::vector<std::string>& argv) const {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  ::fcntl(pipeFds[0], F_SETFD, FD_CLOEXEC);
  const pid_t child = spawn(argv, environmentFor(folderPath_, address_), pipeFds[1], true);
  ::close(pipeFds[1]);
  Output output;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) output.text.append(buffer, n);
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  output.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return output;
}

}  // namespace nb::test
