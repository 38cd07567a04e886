// NbServerProcess starts the built nbserver for a test: a fresh temporary data
// folder, free loopback ports, development mode. It reads the export lines the
// server prints and offers them to the test. The destructor stops the server
// and removes the folder. Use from one thread.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "nb/platform/internal/EnvironmentSettings.h"
#include "tests/support/TemporaryFolder.h"

namespace nb::test {

class NbServerProcess {
 public:
  // Starts the server; ok() tells whether it came up (error() says why not).
  // `extraArgs` follow the standard ones ("--ephemeral", for one).
  explicit NbServerProcess(std::vector<std::string> extraArgs = {});
  ~NbServerProcess();
  NbServerProcess(const NbServerProcess&) = delete;
  NbServerProcess& operator=(const NbServerProcess&) = delete;

  bool ok() const { return pid_ > 0 && !env_.empty(); }
  const std::string& error() const { return error_; }

  // The printed values: NB_CONNECT_TO, NB_CA_FILE, NB_CONSUMER_KEY,
  // NB_CONSUMER_SECRET, NB_DEV_VERIFICATION_CODE.
  std::string env(const std::string& name) const;
  const std::map<std::string, std::string>& environment() const { return env_; }
  // Puts the printed values into this process's environment (for the programs
  // a test starts) and makes the standard transport reach this server.
  void setEnvironment() const;
  // The transport settings that reach this server.
  EnvironmentSettings settings() const;

  int httpPort() const { return httpPort_; }
  pid_t pid() const { return pid_; }  // to pause it (SIGSTOP) as a hung server
  int httpsPort() const { return httpsPort_; }
  const std::string& dataFolder() const { return data_; }

  // `nbserver user add`; extra arguments such as "--quota", "100" follow.
  bool addUser(const std::string& name, const std::string& password,
               const std::vector<std::string>& extra = {}) const;
  // Runs nbserver with `args` to completion; its exit status.
  int runCommand(const std::vector<std::string>& args) const;

  // Stops the server with `signal` (SIGTERM, or SIGKILL to test crashes) and
  // waits for it; the data folder stays.
  void stop(int signal);
  // Starts a new server on the same data folder.
  bool restart();

 private:
  bool launch();
  TemporaryFolder folder_{"nbserver-test"};  // removed after the server has stopped
  std::string data_;
  std::vector<std::string> extraArgs_;
  pid_t pid_ = -1;
  std::map<std::string, std::string> env_;
  std::string error_;
  int httpPort_ = 0, httpsPort_ = 0;
};

}  // namespace nb::test
