#include <gtest/gtest.h>

#include <sstream>

#include "cli/ExitCode.h"
#include "cli/Printer.h"

namespace nb::cli {
namespace {

JsonValue sample() {
  JsonValue value = JsonValue::object();
  value.set("name", JsonValue("a \"b\"\n"));
  value.set("size", JsonValue(std::int64_t{5} << 32));
  return value;
}

TEST(PrinterTest, JsonModePrintsOneJsonValuePerCall) {
  std::ostringstream out, err;
  Printer printer(true, out, err);
  printer.result(sample(), "ignored plain text");
  printer.note("not for scripts");
  // A job that printed its outcomes tells its failure there, not in a second value.
  EXPECT_EQ(printer.error(Status::service("login fail")), kExitService);
  EXPECT_EQ(out.str(), "{\"name\":\"a \\\"b\\\"\\n\",\"size\":21474836480}\n");

  std::ostringstream failureOut;
  Printer failing(true, failureOut, err);
  EXPECT_EQ(failing.error(Status::service("login fail")), kExitService);
  EXPECT_EQ(failureOut.str(),
            "{\"error\":\"login fail\",\"code\":\"service\",\"explanation\":\"the service "
            "refused the call\",\"exit_code\":4}\n");
  EXPECT_EQ(err.str(), "");
}

TEST(PrinterTest, PlainModePrintsTextAndErrorsOnStderr) {
  std::ostringstream out, err;
  Printer printer(false, out, err);
  printer.result(sample(), "Signed in");
  printer.result(sample(), "");  // nothing to say
  printer.note("Verification image: /tmp/x.png");
  EXPECT_EQ(printer.error(Status::unauthenticated("not signed in")), kExitNotSignedIn);
  EXPECT_EQ(out.str(), "Signed in\n");
  EXPECT_EQ(err.str(), "Verification image: /tmp/x.png\nnb: not signed in\n");
}

// Text from the server never drives the terminal: every control character and
// every byte outside valid UTF-8 is shown escaped; valid text stays as it is.
TEST(PrinterTest, ControlCharactersAreShownEscaped) {
  struct Case {
    std::string text;
    const char* shown;
  };
  for (const Case& c :
       {Case{"plain \u00e9t\u00e9 \u65e5\u672c \U0001F600",
             "plain \u00e9t\u00e9 \u65e5\u672c \U0001F600"},
        Case{"\x1b[2Jclear", "\\x1b[2Jclear"}, Case{"\x1b]0;title\x07", "\\x1b]0;title\\x07"},
        Case{"a\rFORGED\nline", "a\\rFORGED\\nline"},
        Case{std::string("nul\0tab\tdel\x7f", 12), "nul\\0tab\\tdel\\x7f"},
        Case{"c1 \u009b2J", "c1 \\u009b2J"},
        Case{"bad \x9b \xc3 \xed\xa0\x80 \xc0\xaf",
             "bad \\x9b \\xc3 \\xed\\xa0\\x80 \\xc0\\xaf"}}) {
    EXPECT_EQ(Printer::visible(c.text), c.shown);
  }
  // Every way out: a result keeps its own line breaks only; an error and a
  // note are one line each.
  std::ostringstream out, err;
  Printer printer(false, out, err);
  printer.result(JsonValue::object(), "name\x1b[2J\nnext\r\n");
  printer.note("user\x1b]0;t\x07");
  printer.warning("w\n");
  printer.error(Status::service("msg\nnb: forged\x1b[1m"));
  EXPECT_EQ(out.str(), "name\\x1b[2J\nnext\\r\n");
  EXPECT_EQ(err.str(),
            "user\\x1b]0;t\\x07\nnb: w\\n\nnb: msg\\nnb: forged\\x1b[1m (the service refused the "
            "call)\n");
}

// A result that cannot be written is a local failure, told on stderr even
// in JSON mode.
TEST(PrinterTest, AResultThatCannotBeWrittenIsALocalFailure) {
  for (const bool json : {false, true}) {
    std::ostringstream out, err;
    Printer printer(json, out, err);
    EXPECT_TRUE(printer.outputStatus().ok());
    out.setstate(std::ios::badbit);  // as a full disk leaves it
    printer.result(JsonValue::object(), "text");
    const Status status = printer.outputStatus();
    EXPECT_EQ(status.code(), StatusCode::kIOError);
    EXPECT_EQ(printer.error(status), kExitLocalFile);
    EXPECT_NE(err.str().find("nb: cannot write the output"), std::string::npos) << err.str();
  }
}

}  // namespace
}  // namespace nb::cli
