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

}  // namespace
}  // namespace nb::cli
