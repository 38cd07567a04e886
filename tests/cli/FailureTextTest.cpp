// What the library reports as a failure becomes a Status whose code, machine
// name, explanation and exit code a person and a script can use.
#include <gtest/gtest.h>

#include "cli/ExitCode.h"
#include "cli/FailureText.h"
#include "nb/Private/ParseError.h"

namespace nb::cli {
namespace {

TEST(FailureTextTest, ClassifiesTheLibrarysMessages) {
  const struct {
    std::string message;
    const char* machine;
    int exitCode;
  } cases[] = {
      // A rejected or revoked token, in each of the texts the library gives it.
      {ParseError::getNormalErrorMessage("401"), "not_signed_in", kExitNotSignedIn},
      {ParseError::getDownloadFileErrorMessage("401"), "not_signed_in", kExitNotSignedIn},
      {ParseError::transformMessage("authorization expired"), "not_signed_in", kExitNotSignedIn},
      {ParseError::transformMessage("file not exist"), "not_found", kExitService},
      {ParseError::getDownloadFileErrorMessage("404"), "not_found", kExitService},
      {ParseError::transformMessage("file exist"), "exists", kExitService},
      {ParseError::getUploadFileErrorMessage("403"), "exists", kExitService},
      {ParseError::getUploadFileErrorMessage("507"), "quota", kExitService},
      {ParseError::transformMessage("over space"), "quota", kExitService},
      {ParseError::getUploadFileErrorMessage("413"), "too_large", kExitService},
      {ParseError::transformMessage("login fail"), "login_failed", kExitNotSignedIn},
      {"Could not connect to server: Connection refused.", "network", kExitService},
      {"The request timed out.", "timeout", kExitTimeout},
      {"some new keyword", "service", kExitService},
  };
  for (const auto& c : cases) {
    const Status status = FailureText::fromOperationMessage(c.message);
    EXPECT_EQ(status.message(), c.message);
    EXPECT_EQ(FailureText::machineCode(status), c.machine) << c.message;
    EXPECT_EQ(exitCodeFor(status), c.exitCode) << c.message;
    EXPECT_FALSE(FailureText::explanation(status).empty()) << c.message;
  }
  const Status revoked =
      FailureText::fromOperationMessage(ParseError::transformMessage("authorization expired"));
  EXPECT_NE(FailureText::explanation(revoked).find("nb login"), std::string::npos);
}

TEST(FailureTextTest, LocalAndUsageFailuresKeepTheirOwnCodes) {
  EXPECT_EQ(exitCodeFor(Status::ioError("cannot write x: No space left on device")),
            kExitLocalFile);
  EXPECT_EQ(FailureText::machineCode(Status::invalidArgument("bad")), "usage");
  EXPECT_EQ(exitCodeFor(Status::invalidArgument("bad")), kExitUsage);
  EXPECT_EQ(exitCodeFor(Status::unavailable("no")), kExitUnavailable);
}

}  // namespace
}  // namespace nb::cli
