// SecretServiceSession starts a private Secret Service for one test: a session
// bus (dbus-run-session) with gnome-keyring-daemon on it, whose login
// collection (the default one) is created and unlocked with a known password.
// Everything lives in a fresh temporary folder, HOME and XDG_* folders
// included, so no user keyring is touched and tests may run in parallel. The
// object points DBUS_SESSION_BUS_ADDRESS at the bus while it lives; destroying
// it ends the session and restores the environment. Main thread only.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/support/TemporaryFolder.h"

namespace nb::test {

class SecretServiceSession {
 public:
  SecretServiceSession();
  ~SecretServiceSession();
  SecretServiceSession(const SecretServiceSession&) = delete;
  SecretServiceSession& operator=(const SecretServiceSession&) = delete;

  // False (with a test failure added) when the session could not be started.
  bool ok() const { return !address_.empty(); }
  const std::string& address() const { return address_; }
  const std::string& folder() const { return folderPath_; }

  // Locks the default collection, as a screen lock would.
  void lockDefaultCollection();
  // The keyring daemon's process id, found through the bus.
  pid_t keyringPid();
  // Ends the session: the bus and the keyring daemon go away.
  void stop();
  // Ends the bus alone, leaving the keyring daemon as it is (stop() ends it).
  void stopBus();
  // Runs `argv` in this session's environment; its exit status and output.
  struct Output {
    int status = -1;
    std::string text;
  };
  Output run(const std::vector<std::string>& argv) const;

 private:
  TemporaryFolder folder_{"nb-secrets"};
  std::string folderPath_;
  pid_t runner_ = -1;  // dbus-run-session
  int lifeline_ = -1;  // closing it ends the session
  pid_t keyring_ = -1;
  std::string address_;
  std::optional<std::string> previousAddress_;
};

}  // namespace nb::test
