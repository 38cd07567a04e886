// Applications in separate processes, started at the same moment, must agree
// on one identifier and each hold a slot of its own.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <sstream>

#include "tests/device/SharedUDIDFixture.h"

extern char** environ;

namespace nb {
namespace {

struct Probe {
  pid_t pid = -1;
  int output = -1;
};

// Starts the probe as application `app`; it blocks until `startSignal` closes.
Probe spawnProbe(const std::string& app, int startSignal) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, startSignal, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  setenv("NB_APP_ID", app.c_str(), 1);
  char* argv[] = {const_cast<char*>(SHARED_UDID_PROBE), nullptr};
  Probe probe;
  if (posix_spawn(&probe.pid, SHARED_UDID_PROBE, &actions, nullptr, argv, environ) != 0) {
    probe.pid = -1;
  }
  unsetenv("NB_APP_ID");
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  probe.output = out[0];
  return probe;
}

// Everything the probe printed, once it has exited successfully.
std::string finish(const Probe& probe) {
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = read(probe.output, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(probe.output);
  int status = 0;
  EXPECT_EQ(waitpid(probe.pid, &status, 0), probe.pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "probe status " << status;
  return text;
}

using NBSharedUDIDProcessTest = SharedUDIDFixture;

TEST_F(NBSharedUDIDProcessTest, ApplicationsStartedTogetherAgreeAndHoldDistinctSlots) {
  // Several rounds, each on a fresh device, to give a race room to show.
  for (const int processes : {2, 2, 2, 2, 2, 5, 5}) {
    TempDataHome device;
    int start[2];
    ASSERT_EQ(pipe2(start, O_CLOEXEC), 0);
    std::vector<Probe> probes;
    for (int i = 0; i < processes; ++i) {
      probes.push_back(spawnProbe("app.process" + std::to_string(i), start[0]));
      ASSERT_GT(probes.back().pid, 0);
    }
    close(start[0]);
    close(start[1]);  // all probes start now

    std::set<std::string> udids, slots;
    for (const Probe& probe : probes) {
      std::istringstream line(finish(probe));
      std::string udid, slotName;
      long code = -1;
      line >> udid >> code >> slotName;
      EXPECT_TRUE(isIdentifier(udid)) << udid;
      EXPECT_EQ(code, 0);
      udids.insert(udid);
      slots.insert(slotName);
    }
    ASSERT_EQ(udids.size(), 1u) << processes << " processes disagree";
    EXPECT_EQ(slots.size(), static_cast<std::size_t>(processes)) << "a slot was claimed twice";
    for (int n = 0; n < processes; ++n) {
      EXPECT_EQ(text(slot(n), "SharedUDID"), *udids.begin()) << "slot " << n;
    }
  }
}

}  // namespace
}  // namespace nb
