// The command's streamed downloads against replies that would run on without
// end: a body past the length the reply announces or the file's listed size
// fails as soon as it passes it, and a reply that announces no length is
// bounded by the listed size, looked up only then.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>

#include "cli/DownloadStream.h"
#include "cli/LocalFiles.h"
#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/platform/RunLoop.h"
#include "nb/platform/internal/Transport.h"
#include "tests/faults/FaultServer.h"

namespace nb::cli {
namespace {

using namespace std::chrono_literals;

class DownloadBoundTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new test::FaultServer({NBHosts::apiHost(), NBHosts::contentHost(),
                                     NBHosts::conversionHost(), NBHosts::webHost()});
    ASSERT_TRUE(server_->ok()) << "fault_server.py did not start";
    NBAPIInfo& info = NBAPIInfo::instance();
    info.setConsumer(std::make_shared<NBConsumer>("fault-key", "fault-secret"));
    info.setToken(std::make_shared<NBToken>("fault-token", "fault-token-secret"));
  }
  static void TearDownTestSuite() {
    NBAPIInfo::instance().clearAuthInfo();
    Transport::setStandard(nullptr);
    delete server_;
  }
  static void pointAt(const std::string& fault) {
    EnvironmentSettings settings;
    settings.caFile = server_->caFile();
    settings.connectTo = EnvironmentSettings::splitConnectTo(server_->connectTo(fault));
    Transport::setStandard(Transport::curl(std::move(settings)));
  }
  // The outcome of streaming the fault's file into a private temporary file.
  static Status download(const std::string& fault, DownloadStream::Bound bound,
                         std::uint64_t* received) {
    pointAt(fault);
    auto file = PartialFile::temporary();
    EXPECT_TRUE(file.ok());
    std::optional<Status> outcome;
    auto stream = DownloadStream::start(
        "app", "/" + fault, (*file)->fd(), "the test file", 10s, bound, nullptr,
        [&](const Status& status, std::uint64_t got) {
          outcome = status;
          *received = got;
        });
    RunLoop::main().runUntil([&] { return outcome.has_value(); }, 30s);
    return outcome.value_or(Status::internal("no outcome"));
  }

  static test::FaultServer* server_;
};

test::FaultServer* DownloadBoundTest::server_ = nullptr;

TEST_F(DownloadBoundTest, ABodyPastItsBoundFailsAtOnce) {
  struct Case {
    const char* fault;
    DownloadStream::Bound bound;
    const char* message;  // a part of the failure's text
  };
  const Case cases[] = {
      {"endless_chunked", {10, false}, "more than the 10 bytes the file is listed with"},
      {"endless_chunked", {std::nullopt, true}, "announced no length"},
      {"bad_length", {100, false}, "unusable Content-Length"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    std::uint64_t received = 0;
    const Status status = download(c.fault, c.bound, &received);
    EXPECT_FALSE(status.ok());
    EXPECT_NE(status.message().find(c.message), std::string::npos) << status.message();
    EXPECT_LE(received, 10u);
  }
}

TEST_F(DownloadBoundTest, AReplyWithoutLengthIsBoundedByTheListedSize) {
  pointAt("endless_chunked");
  int lookups = 0;
  std::uint64_t received = 0;
  const Status status = DownloadStream::run(
      "app", "/endless_chunked", STDERR_FILENO, "stderr", nullptr, 10s, &received,
      [&]() -> Result<std::uint64_t> {
        ++lookups;
        return std::uint64_t{0};
      });
  EXPECT_EQ(lookups, 1);
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.message().find("more than the 0 bytes"), std::string::npos)
      << status.message();
  EXPECT_EQ(received, 0u);
}

}  // namespace
}  // namespace nb::cli
