// The whole command line run in process, for everything that must stop before
// any request: usage errors (plain and --json), unknown commands, refusals
// without a consumer or a sign-in, and --help of every table entry.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CommandContext.h"
#include "cli/CommandTable.h"
#include "cli/ExitCode.h"
#include "nb/Private/NBAPIInfo.h"
#include "tests/support/TemporaryFolder.h"

namespace nb::cli {
namespace {

struct CommandRunResult {
  int exitCode;
  std::string out;
  std::string err;
};

CommandRunResult run(std::vector<std::string> args) {
  args.insert(args.begin(), "nb");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  const int code = CommandTable::main(static_cast<int>(argv.size()), argv.data(), out, err);
  return {code, out.str(), err.str()};
}

std::string joined(const std::vector<std::string>& args) {
  std::string text;
  for (const auto& a : args) text += a + " ";
  return text;
}

// The server named by the consumer does not exist: none of these may wait for it.
class CommandTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("NB_DATA_HOME", folder_.path().c_str(), 1);
    setenv("NB_KEYCHAIN", "file", 1);
    unsetenv("NB_CONSUMER_KEY");
    unsetenv("NB_CONSUMER_SECRET");
    NBAPIInfo::instance().clearAuthInfo();
  }
  test::TemporaryFolder folder_{"nb-cli-table"};
};

TEST_F(CommandTableTest, UsageErrorsExitTwoAndExplainThemselvesAlsoInJson) {
  const std::vector<std::vector<std::string>> cases = {
      {},                                                 // no sub-command
      {"frob"},                                           // unknown sub-command
      {"login"},                                          // missing USER
      {"info", "--bogus"},                                // unknown option
      {"ls", "--page", "-1"},                             // negative page
      {"ls", "--page-size", "0"},                         // empty pages
      {"ls", "--page-size", "1001"},                      // more than the service sends
      {"ls", "--sort", "colour"},                         // unknown sort key
      {"mv", "/a"},                                       // missing TO
      {"put", "a.txt"},                                   // missing REMOTE
      {"thumb", "/p.png", "t.png", "--width", "10"},      // missing --height
      {"convert", "/r.doc", "r.html", "--type", "docx"},  // type outside the table
      {"info", "--timeout", "0"},
  };
  for (const auto& args : cases) {
    const CommandRunResult plain = run(args);
    EXPECT_EQ(plain.exitCode, kExitUsage) << joined(args);
    EXPECT_EQ(plain.out, "") << joined(args);
    EXPECT_EQ(plain.err.rfind("nb: ", 0), 0u) << joined(args) << plain.err;

    std::vector<std::string> json = args;
    json.push_back("--json");
    const CommandRunResult scripted = run(json);
    EXPECT_EQ(scripted.exitCode, kExitUsage) << joined(json);
    EXPECT_NE(scripted.out.find("\"code\":\"usage\""), std::string::npos) << scripted.out;
    EXPECT_NE(scripted.out.find("\"exit_code\":2"), std::string::npos) << scripted.out;
  }
  EXPECT_NE(run({"frob"}).err.find("unknown command 'frob'"), std::string::npos);
}

TEST_F(CommandTableTest, AMistypedCommandOrOptionIsNamedWithTheOneMeant) {
  const struct {
    std::vector<std::string> args;
    const char* message;  // a part of stderr's first line
  } cases[] = {
      {{"synk"}, "unknown command 'synk'; did you mean 'sync'?"},
      {{"sy"}, "did you mean 'sync'?"},
      {{"sync", "--delet", "a", "nb:/b"}, "--delet; did you mean --delete?"},
      {{"--bogus"}, "unknown option --bogus"},
      {{"--tiemout", "3", "info"}, "unknown option --tiemout; did you mean --timeout?"},
      {{"--transfers", "4", "sync", "a", "nb:/b"},
       "--transfers is an option of `nb sync`: give it after the command"},
      {{"4"}, "unknown command '4'\n"},  // nothing near it is suggested
      // Names no upload can carry, refused before anything is read or sent.
      {{"put", "a.txt",
        "/a\x7f"
        "b"},
       "a name the service cannot store"},
      {{"put", "a.txt", "/a\"b"}, "a name the service cannot store"},
  };
  for (const auto& c : cases) {
    const CommandRunResult r = run(c.args);
    EXPECT_EQ(r.exitCode, kExitUsage) << joined(c.args);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << joined(c.args) << r.err;
  }
}

TEST_F(CommandTableTest, HelpIsACommandToo) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"help"}, {"help", "sync"}, {"--help"}}) {
    const CommandRunResult r = run(args);
    EXPECT_EQ(r.exitCode, kExitOk) << joined(args);
    EXPECT_NE(r.out.find("Usage: nb"), std::string::npos) << r.out;
  }
  EXPECT_NE(run({"help", "sync"}).out.find("--delete"), std::string::npos);
  EXPECT_NE(run({"--help"}).out.find("--version"), std::string::npos);
}

// The completion script, sourced by bash, completes what the parser accepts.
TEST_F(CommandTableTest, TheBashCompletionCompletesCommandsAndTheirOptions) {
  const CommandRunResult script = run({"completion", "bash"});
  ASSERT_EQ(script.exitCode, kExitOk) << script.err;
  const std::string file = (folder_.path() / "nb.bash").string();
  std::ofstream(file) << script.out;
  const struct {
    const char* words;
    int current;
    const char* expected;
  } cases[] = {
      {"nb sy", 1, "sync"},
      {"nb sync --del", 2, "--delete"},
      {"nb --root app sync --del", 4, "--delete"},
      {"nb --js", 1, "--json"},
  };
  for (const auto& c : cases) {
    const std::string out = (folder_.path() / "completed").string();
    const std::string command = "bash -c 'source " + file + "; COMP_WORDS=(" + c.words +
                                "); COMP_CWORD=" + std::to_string(c.current) +
                                "; _nb; echo \"${COMPREPLY[*]}\"' > " + out;
    ASSERT_EQ(std::system(command.c_str()), 0) << c.words;
    std::ifstream in(out);
    std::string completed;
    std::getline(in, completed);
    EXPECT_EQ(completed, c.expected) << c.words;
  }
}

TEST_F(CommandTableTest, TheManualPageRendersWithoutWarnings) {
  if (std::system("command -v man >/dev/null 2>&1") != 0) GTEST_SKIP() << "no man(1) here";
  const CommandRunResult page = run({"man"});
  ASSERT_EQ(page.exitCode, kExitOk) << page.err;
  EXPECT_NE(page.out.find(".SS \"sync SOURCE TARGET\""), std::string::npos);
  const std::string file = (folder_.path() / "nb.1").string();
  std::ofstream(file) << page.out;
  const std::string warnings = (folder_.path() / "warnings").string();
  ASSERT_EQ(
      std::system(("MANWIDTH=80 man --warnings -l " + file + " >/dev/null 2>" + warnings).c_str()),
      0);
  std::ifstream in(warnings);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "");
}

TEST_F(CommandTableTest, RefusesWithoutCredentialsOrWithBadInputBeforeAnyRequest) {
  const std::vector<std::string> consumer = {"--consumer-key", "k", "--consumer-secret", "s"};
  const auto with = [&](std::vector<std::string> args) {
    args.insert(args.end(), consumer.begin(), consumer.end());
    return args;
  };
  const struct {
    std::vector<std::string> args;
    int exitCode;
    const char* message;
  } cases[] = {
      {{"info"}, kExitNotSignedIn, "not signed in"},
      {{"ls"}, kExitNotSignedIn, "not signed in"},
      {{"mkdir", "/a"}, kExitNotSignedIn, "not signed in"},
      {{"rm", "/a", "/b"}, kExitNotSignedIn, "not signed in"},
      {{"mv", "/a", "/b"}, kExitNotSignedIn, "not signed in"},
      {{"cp", "/a", "/b"}, kExitNotSignedIn, "not signed in"},
      {{"copyref", "/a"}, kExitNotSignedIn, "not signed in"},
      {{"share", "/a"}, kExitNotSignedIn, "not signed in"},
      {{"history", "/a"}, kExitNotSignedIn, "not signed in"},
      {{"put", "/dev/null", "/a"}, kExitNotSignedIn, "not signed in"},
      {{"get", "/a", "-"}, kExitNotSignedIn, "not signed in"},
      {{"thumb", "/a", "o", "--width", "1", "--height", "1"}, kExitNotSignedIn, "not signed in"},
      {{"convert", "/a", "o", "--type", "txt"}, kExitNotSignedIn, "not signed in"},
      {{"login", "a@b.c", "--password", "pw"}, kExitNotSignedIn, "no consumer"},
      {{"register", "a@b.c", "--password", "pw"}, kExitNotSignedIn, "no consumer"},
      {with({"login", "no-at-sign", "--password", "pw"}), kExitUsage, "@"},
      {with({"register", "no-at-sign", "--password", "pw"}), kExitUsage, "@"},
      {with({"login", "a@b.c", "--password", ""}), kExitUsage, "password"},
  };
  for (const auto& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    const CommandRunResult r = run(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << joined(c.args);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << joined(c.args) << ": " << r.err;
    EXPECT_EQ(r.out, "") << joined(c.args);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900))
        << joined(c.args) << " waited for a service";
  }
  const CommandRunResult json = run({"--json", "info"});
  EXPECT_NE(json.out.find("\"code\":\"not_signed_in\""), std::string::npos) << json.out;
}

TEST_F(CommandTableTest, EveryTableEntryHasHelpAndLogoutAlwaysSucceeds) {
  for (const CommandEntry& entry : CommandTable::commands()) {
    const CommandRunResult r = run({entry.name, "--help"});
    EXPECT_EQ(r.exitCode, 0) << entry.name;
    EXPECT_NE(r.out.find(entry.name), std::string::npos) << r.out;
  }
  const CommandRunResult top = run({"--help"});
  EXPECT_EQ(top.exitCode, 0);
  EXPECT_NE(top.out.find("Exit codes"), std::string::npos);
  EXPECT_EQ(run({"--version"}).out.rfind("nb ", 0), 0u);
  EXPECT_EQ(run({"--json", "logout"}).out, "{\"signed_in\":false}\n");
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
