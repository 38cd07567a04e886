#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "cli/CommandContext.h"
#include "cli/CommandTable.h"
#include "cli/ExitCode.h"
#include "nb/Private/NBAPIInfo.h"

namespace nb::cli {
namespace {

// Commands that must stop before any request: signed out, no consumer, bad
// input. None may wait for the service (the server here does not exist).
class CommandTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        std::filesystem::temp_directory_path() / ("nb-cli-table-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder_);
    setenv("NB_DATA_HOME", folder_.c_str(), 1);
    NBAPIInfo::instance().clearAuthInfo();
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::filesystem::path folder_;
};

TEST_F(CommandTableTest, RefusesWithoutCredentialsOrWithBadInput) {
  const auto with = [](std::string command, auto change) {
    CommandOptions o;
    o.command = std::move(command);
    o.timeoutSeconds = 1;
    o.path = "/a";
    o.from = "/a";
    o.to = "/b";
    o.local = "/dev/null";
    o.out = "out";
    o.type = "txt";
    o.width = o.height = 1;
    change(o);
    return o;
  };
  const auto none = [](CommandOptions&) {};
  const auto consumer = [](CommandOptions& o) {
    o.consumerKey = "k";
    o.consumerSecret = "s";
    o.user = "a@b.c";
    o.password = "pw";
  };
  const struct {
    CommandOptions options;
    int exitCode;
    const char* message;
  } cases[] = {
      {with("info", none), kExitNotSignedIn, "not signed in"},
      {with("ls", none), kExitNotSignedIn, "not signed in"},
      {with("mkdir", none), kExitNotSignedIn, "not signed in"},
      {with("rm", none), kExitNotSignedIn, "not signed in"},
      {with("mv", none), kExitNotSignedIn, "not signed in"},
      {with("cp", none), kExitNotSignedIn, "not signed in"},
      {with("copyref", none), kExitNotSignedIn, "not signed in"},
      {with("share", none), kExitNotSignedIn, "not signed in"},
      {with("history", none), kExitNotSignedIn, "not signed in"},
      {with("put", none), kExitNotSignedIn, "not signed in"},
      {with("get", none), kExitNotSignedIn, "not signed in"},
      {with("thumb", none), kExitNotSignedIn, "not signed in"},
      {with("convert", none), kExitNotSignedIn, "not signed in"},
      {with("login",
            [](auto& o) {
              o.user = "a@b.c";
              o.password = "pw";
            }),
       kExitNotSignedIn, "no consumer"},
      {with("register",
            [](auto& o) {
              o.user = "a@b.c";
              o.password = "pw";
            }),
       kExitNotSignedIn, "no consumer"},
      {with("login",
            [&](auto& o) {
              consumer(o);
              o.user = "no-at-sign";
            }),
       kExitUsage, "@"},
      {with("register",
            [&](auto& o) {
              consumer(o);
              o.user = "no-at-sign";
            }),
       kExitUsage, "@"},
      {with("login",
            [&](auto& o) {
              consumer(o);
              o.password = "";
            }),
       kExitUsage, "password"},
  };
  for (const auto& c : cases) {
    std::ostringstream out, err;
    Printer printer(false, out, err);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CommandTable::run(c.options, printer), c.exitCode) << c.options.command;
    EXPECT_NE(err.str().find(c.message), std::string::npos)
        << c.options.command << ": " << err.str();
    EXPECT_EQ(out.str(), "") << c.options.command;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900))
        << c.options.command << " waited for a service";
  }
}

TEST_F(CommandTableTest, LogoutAlwaysSucceeds) {
  std::ostringstream out, err;
  Printer printer(true, out, err);
  CommandOptions o;
  o.command = "logout";
  EXPECT_EQ(CommandTable::run(o, printer), kExitOk);
  EXPECT_EQ(out.str(), "{\"signed_in\":false}\n");
}

TEST(RemotePathTest, GivesEveryPathItsLeadingSlash) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {{"a.txt", "/a.txt"}, {"/a.txt", "/a.txt"}, {"d/e f", "/d/e f"}, {"", "/"}};
  for (const auto& c : cases) EXPECT_EQ(CommandContext::remotePath(c.in), c.out);
}

}  // namespace
}  // namespace nb::cli
