#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/ExitCode.h"

namespace nb::cli {
namespace {

struct Parsed {
  ParsedCommandLine parsed;
  std::string out;
  std::string err;
};

Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "nb");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  Parsed run;
  run.parsed = CommandLine::parse(static_cast<int>(argv.size()), argv.data(), out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}

class CommandLineTest : public ::testing::Test {
 protected:
  // Consumer variables of the developer's shell must not leak into the cases.
  void SetUp() override {
    unsetenv("NB_CONSUMER_KEY");
    unsetenv("NB_CONSUMER_SECRET");
  }
};

TEST_F(CommandLineTest, AcceptsEveryCommandForm) {
  using Check = std::function<void(const CommandOptions&)>;
  const struct {
    std::vector<std::string> args;
    Check check;
  } cases[] = {
      {{"login", "a@b.c"},
       [](auto& o) {
         EXPECT_EQ(o.user, "a@b.c");
         EXPECT_FALSE(o.password);
       }},
      {{"login", "a@b.c", "--password", "p w&="},
       [](auto& o) { EXPECT_EQ(o.password.value_or(""), "p w&="); }},
      {{"logout"}, [](auto& o) { EXPECT_EQ(o.command, "logout"); }},
      {{"register", "a@b.c", "--password", "x", "--code", "1234", "--image", "/tmp/c.png"},
       [](auto& o) {
         EXPECT_EQ(o.code.value_or(""), "1234");
         EXPECT_EQ(o.image.value_or(""), "/tmp/c.png");
       }},
      {{"info", "--json"}, [](auto& o) { EXPECT_TRUE(o.json); }},
      {{"ls"},
       [](auto& o) {
         EXPECT_FALSE(o.path);
         EXPECT_EQ(o.page, 0);
         EXPECT_EQ(o.pageSize, 20);
         EXPECT_FALSE(o.limit);
         EXPECT_EQ(o.root, "app");
       }},
      {{"ls", "/docs", "--page", "2", "--page-size", "5", "--limit", "50", "--filter", "PDF",
        "--sort", "size", "--desc"},
       [](auto& o) {
         EXPECT_EQ(o.path.value_or(""), "/docs");
         EXPECT_EQ(o.page, 2);
         EXPECT_EQ(o.pageSize, 5);
         EXPECT_EQ(o.limit.value_or(0), 50);
         EXPECT_EQ(o.filter.value_or(""), "PDF");
         EXPECT_EQ(o.sort.value_or(""), "size");
         EXPECT_TRUE(o.desc);
       }},
      {{"put", "-", "/a.txt", "--overwrite"},
       [](auto& o) {
         EXPECT_EQ(o.local.value_or(""), "-");
         EXPECT_EQ(o.to, "/a.txt");
         EXPECT_TRUE(o.overwrite);
       }},
      {{"get", "/a.txt"},
       [](auto& o) {
         EXPECT_EQ(o.from, "/a.txt");
         EXPECT_FALSE(o.local);
       }},
      {{"get", "/a.txt", "-"}, [](auto& o) { EXPECT_EQ(o.local.value_or(""), "-"); }},
      {{"mkdir", "/d"}, [](auto& o) { EXPECT_EQ(o.path.value_or(""), "/d"); }},
      {{"rm", "/d"}, [](auto& o) { EXPECT_EQ(o.command, "rm"); }},
      {{"mv", "/a", "/b"},
       [](auto& o) {
         EXPECT_EQ(o.from, "/a");
         EXPECT_EQ(o.to, "/b");
       }},
      {{"cp", "/a", "/b"},
       [](auto& o) {
         EXPECT_EQ(o.from, "/a");
         EXPECT_EQ(o.to, "/b");
         EXPECT_FALSE(o.ref);
       }},
      {{"cp", "--ref", "R1", "/b"},
       [](auto& o) {
         EXPECT_EQ(o.ref.value_or(""), "R1");
         EXPECT_EQ(o.to, "/b");
         EXPECT_EQ(o.from, "");
       }},
      {{"copyref", "/a"}, [](auto& o) { EXPECT_EQ(o.command, "copyref"); }},
      {{"share", "/a", "--name", "N", "--code", "C"},
       [](auto& o) {
         EXPECT_EQ(o.name.value_or(""), "N");
         EXPECT_EQ(o.accessCode.value_or(""), "C");
       }},
      {{"history", "/a"}, [](auto& o) { EXPECT_EQ(o.command, "history"); }},
      {{"thumb", "/p.png", "t.png", "--width", "128", "--height", "96"},
       [](auto& o) {
         EXPECT_EQ(o.out, "t.png");
         EXPECT_EQ(o.width, 128);
         EXPECT_EQ(o.height, 96);
       }},
      {{"convert", "/r.doc", "r.html", "--type", "zpr", "--view", "iPad", "--zip"},
       [](auto& o) {
         EXPECT_EQ(o.type, "zpr");
         EXPECT_EQ(o.view, "iPad");
         EXPECT_TRUE(o.zip);
       }},
      {{"convert", "/r.txt", "r.html", "--type", "txt"},
       [](auto& o) {
         EXPECT_EQ(o.view, "iphone");
         EXPECT_FALSE(o.zip);
       }},
      // Global options before or after the sub-command.
      {{"--root", "sandbox", "--json", "info"},
       [](auto& o) {
         EXPECT_EQ(o.root, "sandbox");
         EXPECT_TRUE(o.json);
       }},
      {{"info", "--consumer-key", "k", "--consumer-secret", "s", "--timeout", "9"},
       [](auto& o) {
         EXPECT_EQ(o.consumerKey.value_or(""), "k");
         EXPECT_EQ(o.consumerSecret.value_or(""), "s");
         EXPECT_EQ(o.timeoutSeconds, 9);
       }},
  };
  for (const auto& c : cases) {
    const Parsed run = parse(c.args);
    ASSERT_TRUE(run.parsed.options) << c.args[0] << ": " << run.err;
    EXPECT_EQ(run.parsed.options->command, c.args[0] == "--root" ? "info" : c.args[0]);
    c.check(*run.parsed.options);
  }
}

TEST_F(CommandLineTest, RejectsBadCommandLinesWithUsageExit) {
  const std::vector<std::vector<std::string>> cases = {
      {},                                             // no sub-command
      {"frobnicate"},                                 // unknown sub-command
      {"login"},                                      // missing USER
      {"info", "--bogus"},                            // unknown option
      {"ls", "--page", "-1"},                         // negative page
      {"ls", "--page-size", "0"},                     // empty pages
      {"ls", "--sort", "colour"},                     // unknown sort key
      {"ls", "--desc"},                               // --desc without --sort
      {"ls", "--page", "two"},                        // not a number
      {"mv", "/a"},                                   // missing TO
      {"cp", "/a"},                                   // missing TO
      {"cp", "--ref", "R"},                           // --ref without TO
      {"cp", "--ref", "R", "/a", "/b"},               // --ref with FROM too
      {"put", "a.txt"},                               // missing REMOTE
      {"thumb", "/p.png", "t.png", "--width", "10"},  // missing --height
      {"thumb", "/p.png", "t.png", "--width", "0", "--height", "5"},
      {"convert", "/r.doc", "r.html"},                    // missing --type
      {"convert", "/r.doc", "r.html", "--type", "docx"},  // type outside the table
      {"convert", "/r.doc", "r.html", "--type", "pdf", "--view", "android"},
      {"info", "--timeout", "0"},
  };
  for (const auto& args : cases) {
    const Parsed run = parse(args);
    EXPECT_FALSE(run.parsed.options) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(run.parsed.exitCode, kExitUsage) << (args.empty() ? "" : args[0]);
    EXPECT_FALSE(run.err.empty()) << "a usage error explains itself";
  }
}

TEST_F(CommandLineTest, ConsumerComesFromTheEnvironmentUnlessGiven) {
  setenv("NB_CONSUMER_KEY", "env-key", 1);
  setenv("NB_CONSUMER_SECRET", "env-secret", 1);
  Parsed run = parse({"login", "a@b.c"});
  ASSERT_TRUE(run.parsed.options);
  EXPECT_EQ(run.parsed.options->consumerKey.value_or(""), "env-key");
  EXPECT_EQ(run.parsed.options->consumerSecret.value_or(""), "env-secret");
  run = parse({"login", "a@b.c", "--consumer-key", "flag-key"});
  ASSERT_TRUE(run.parsed.options);
  EXPECT_EQ(run.parsed.options->consumerKey.value_or(""), "flag-key");
}

TEST_F(CommandLineTest, HelpForEachCommandExitsZero) {
  for (const char* command :
       {"login", "logout", "register", "info", "ls", "put", "get", "mkdir", "rm", "mv", "cp",
        "copyref", "share", "history", "thumb", "convert"}) {
    const Parsed run = parse({command, "--help"});
    EXPECT_FALSE(run.parsed.options) << command;
    EXPECT_EQ(run.parsed.exitCode, 0) << command;
    EXPECT_NE(run.out.find(command), std::string::npos) << run.out;
  }
  const Parsed top = parse({"--help"});
  EXPECT_EQ(top.parsed.exitCode, 0);
  EXPECT_NE(top.out.find("Exit codes"), std::string::npos);
  EXPECT_NE(top.out.find("convert"), std::string::npos);
  const Parsed version = parse({"--version"});
  EXPECT_EQ(version.parsed.exitCode, 0);
  EXPECT_EQ(version.out.rfind("nb ", 0), 0u) << version.out;
}

}  // namespace
}  // namespace nb::cli
