// Drives nbserver with python3-requests-oauthlib, an OAuth client that is not
// ours: the emulator must accept its signatures and refuse bad ones.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <string>

#include "tests/support/NbServerProcess.h"

namespace nb {
namespace {

class NbServerOAuthClientTest : public ::testing::TestWithParam<const char*> {
 protected:
  static void SetUpTestSuite() {
    server_ = new test::NbServerProcess();
    ASSERT_TRUE(server_->ok()) << server_->error();
    ASSERT_TRUE(server_->addUser("alice", "alice pass &=+"));
    ASSERT_TRUE(server_->addUser("bob", "bob-pass"));
    server_->setEnvironment();
    setenv("NB_SERVER_BINARY", NB_SERVER_BINARY, 1);
    setenv("NB_SERVER_DATA", server_->dataFolder().c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static test::NbServerProcess* server_;
};

test::NbServerProcess* NbServerOAuthClientTest::server_ = nullptr;

TEST_P(NbServerOAuthClientTest, Scenario) {
  // Debian's interpreter: the one first on PATH may lack the Debian modules.
  const std::string command = std::string("/usr/bin/python3 ") + NB_SOURCE_DIR +
                              "/tests/server/oauth_client.py " + GetParam() + " 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  ASSERT_TRUE(pipe);
  std::string output;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe.get())) output += buffer;
  const int status = pclose(pipe.release());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
}

INSTANTIATE_TEST_SUITE_P(Python, NbServerOAuthClientTest,
                         ::testing::Values("files", "refusals"));

}  // namespace
}  // namespace nb
