// Every operation driven through every fault of a misbehaving server
// (fault_server.py): the connection refused, accepted and never answered,
// reset part-way, a body shorter than its Content-Length, a trickle of one byte
// a second, statuses 500/502/503, a body that is not JSON, a reply past the
// bound on replies kept in memory, a status with no body, a redirect loop, a
// redirect to another host (never followed), a Content-Length past 64 bits
// before a short body, and a TLS certificate from an authority nobody trusts.
//
// The table below is the whole expectation. For each cell the test asserts
// exactly one delegate outcome of the expected kind, within the request's
// time-out (plus the trickle's own duration), and no file left under the
// download folder except at a path a success reported. A second pass cancels
// every operation still running part-way: it then reports nothing and leaves
// no file. Leaks are caught by the sanitizer run.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/platform/RunLoop.h"
#include "nb/platform/URLRequest.h"
#include "nb/platform/internal/Transport.h"
#include "tests/faults/FaultServer.h"
#include "tests/support/OperationSamples.h"
#include "tests/support/TemporaryFolder.h"

namespace nb {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The faults, in the order of the table's columns.
const std::vector<std::string> kFaults = {
    "refused",    "silent",        "reset",         "short_body", "trickle",
    "status_500", "status_502",    "status_503",    "bad_json",   "huge",
    "no_body",    "redirect_loop", "redirect_away", "bad_length", "other_ca"};

// F: exactly one failure. S: exactly one success.
//
// The successes are replies an operation takes as they come: the trickle is a
// slow but whole reply ("[1]", a JSON value); downloads and document views
// store any body of a 200 as the file, thumbnails hand its bytes over, and
// delete and move hand back the body text of any status, as the service's
// other calls are judged by their body alone. Upload fails on a first reply
// that names no upload node, "[1]" included.
struct Row {
  const char* operation;
  const char* outcomes;  // one letter per fault; spaces are for the eye
};
const Row kTable[] = {
    // clang-format off
    //                       refused  reset    trickle    502    bad_json   no_body    redirect_away
    //                          silent   short_body  500     503      huge   redirect_loop  bad_length
    //                                                                                         other_ca
    {"xauth",                  "F  F  F  F  F  F  F  F  F  F  F  F  F  F  F"},
    {"three-legged OAuth",     "F  F  F  F  F  F  F  F  F  F  F  F  F  F  F"},
    {"verification image",     "F  F  F  F  F  F  F  F  F  F  F  F  F  F  F"},
    {"register",               "F  F  F  F  F  F  F  F  F  F  F  F  F  F  F"},
    {"account info",           "F  F  F  F  F  F  F  F  F  F  F  F  F  F  F"},
    {"metadata",               "F  F  F  F  F  F  F  F  F  F  F  F  F  F  F"},
    {"upload",                 "F  F  F  F  F  F  F  F  F  F  F  F  F  F  F"},
    {"download",               "F  F  F  F  S  F  F  F  S  S  S  F  F  F  F"},
    {"create folder",          "F  F  F  F  F  F  F  F  F  F  F  F  F  F  F"},
    {"delete",                 "F  F  F  F  S  S  S  S  S  F  S  F  F  F  F"},
    {"move",                   "F  F  F  F  S  S  S  S  S  F  S  F  F  F  F"},
    {"copy",                   "F  F  F  F  S  F  F  F  F  F  F  F  F  F  F"},
    {"copy reference",         "F  F  F  F  S  F  F  F  F  F  F  F  F  F  F"},
    {"share link",             "F  F  F  F  S  F  F  F  F  F  F  F  F  F  F"},
    {"thumbnail",              "F  F  F  F  S  F  F  F  S  F  S  F  F  F  F"},
    {"document view",          "F  F  F  F  S  F  F  F  S  S  S  F  F  F  F"},
    {"history",                "F  F  F  F  F  F  F  F  F  F  F  F  F  F  F"},
    // clang-format on
};

constexpr double kTimeoutSeconds = 2;

// Counts every delegate call of one operation.
struct Outcome : NBOperationDelegate {
  int successes = 0, failures = 0;
  std::string detail;  // the failure message or the success's text
  Clock::time_point at;
  void operationSuccess(NBOperation*, const NBResult& result) override {
    ++successes;
    detail = result.textValue() != nullptr ? *result.textValue() : "";
    at = Clock::now();
  }
  void operationFail(NBOperation*, const std::string& message) override {
    ++failures;
    detail = message;
    at = Clock::now();
  }
  int calls() const { return successes + failures; }
};

std::shared_ptr<NBConsumer> consumer() {
  return std::make_shared<NBConsumer>("fault-key", "fault-secret");
}

// Makes the named operation, with an item whose paths are the fault's own.
std::shared_ptr<NBOperation> makeOperation(const std::string& name, const std::string& fault,
                                           NBOperationDelegate* delegate) {
  for (const test::OperationSample& sample : test::operationSamples()) {
    if (name == sample.name) return sample.make(delegate, consumer(), "/" + fault);
  }
  return nullptr;
}

// The letters of a row, without the spaces.
std::string letters(const char* outcomes) {
  std::string out;
  for (const char* c = outcomes; *c != '\0'; ++c) {
    if (*c != ' ') out += *c;
  }
  return out;
}

// A reported path as the file system names it ("a//b" is "a/b").
std::string normal(const std::string& path) {
  return std::filesystem::path(path).lexically_normal().string();
}

// Every regular file under `folder`.
std::set<std::string> filesUnder(const std::filesystem::path& folder) {
  std::set<std::string> files;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_regular_file()) files.insert(it->path().string());
  }
  return files;
}

class FaultTableTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new test::TemporaryFolder("nb-fault-table");
    ASSERT_TRUE(folder_->ok());
    setenv("NB_DATA_HOME", (folder_->path() / "data").c_str(), 1);
    setenv("NB_HOME", (folder_->path() / "home").c_str(), 1);
    server_ = new test::FaultServer({NBHosts::apiHost(), NBHosts::contentHost(),
                                     NBHosts::conversionHost(), NBHosts::webHost()});
    ASSERT_TRUE(server_->ok()) << "fault_server.py did not start";
    NBAPIInfo& info = NBAPIInfo::instance();
    info.setConsumer(consumer());
    info.setToken(std::make_shared<NBToken>("fault-token", "fault-token-secret"));
    URLRequest::setDefaultTimeoutInterval(kTimeoutSeconds);
  }
  static void TearDownTestSuite() {
    URLRequest::setDefaultTimeoutInterval(0);
    NBAPIInfo::instance().clearAuthInfo();
    Transport::setStandard(nullptr);
    delete server_;
    delete folder_;
  }

  // Sends every request to the fault server's `fault`.
  static void pointAt(const std::string& fault) {
    EnvironmentSettings settings;
    settings.caFile = server_->caFile();
    settings.connectTo = EnvironmentSettings::splitConnectTo(server_->connectTo(fault));
    Transport::setStandard(Transport::curl(std::move(settings)));
  }

  static std::filesystem::path downloads() { return folder_->path() / "home" / "tmp"; }

  static test::TemporaryFolder* folder_;
  static test::FaultServer* server_;
};

test::TemporaryFolder* FaultTableTest::folder_ = nullptr;
test::FaultServer* FaultTableTest::server_ = nullptr;

TEST_F(FaultTableTest, EveryOperationReportsOnceUnderEveryFault) {
  for (std::size_t column = 0; column < kFaults.size(); ++column) {
    const std::string& fault = kFaults[column];
    SCOPED_TRACE(fault);
    pointAt(fault);
    // The oversized replies run one at a time, so that memory stays low.
    const bool oneAtATime = fault == "huge";

    struct Running {
      const Row* row;
      Outcome outcome;
      std::shared_ptr<NBOperation> operation;
      Clock::time_point start;
    };
    std::vector<std::unique_ptr<Running>> running;
    for (const Row& row : kTable) {
      auto r = std::make_unique<Running>();
      r->row = &row;
      r->operation = makeOperation(row.operation, fault, &r->outcome);
      ASSERT_NE(r->operation, nullptr) << row.operation;
      r->start = Clock::now();
      r->operation->executeOperation();
      if (oneAtATime) {
        RunLoop::current().runUntil([&] { return r->outcome.calls() > 0; }, 60s);
      }
      running.push_back(std::move(r));
    }
    RunLoop::current().runUntil(
        [&] {
          for (const auto& r : running) {
            if (r->outcome.calls() == 0) return false;
          }
          return true;
        },
        60s);
    // Long enough for a second outcome to show.
    RunLoop::current().runUntil([] { return false; }, 300ms);

    std::set<std::string> reported;
    for (const auto& r : running) {
      SCOPED_TRACE(r->row->operation);
      const char expected = letters(r->row->outcomes).at(column);
      EXPECT_EQ(r->outcome.calls(), 1) << r->outcome.detail;
      EXPECT_EQ(r->outcome.successes, expected == 'S' ? 1 : 0) << r->outcome.detail;
      if (r->outcome.calls() > 0) {
        // The time-out counts from the last byte; the trickle sends for 3 s.
        const double budget = 2 * kTimeoutSeconds + (fault == "trickle" ? 3 : 0) + 5;
        EXPECT_LT(std::chrono::duration<double>(r->outcome.at - r->start).count(), budget);
      }
      if (r->outcome.successes > 0) reported.insert(normal(r->outcome.detail));
      if (getenv("FAULT_TABLE_VERBOSE") != nullptr) {
        printf("%-14s %-20s %c%c %.2fs %s\n", fault.c_str(), r->row->operation,
               r->outcome.successes ? 'S' : '-', r->outcome.failures ? 'F' : '-',
               std::chrono::duration<double>(r->outcome.at - r->start).count(),
               r->outcome.detail.substr(0, 80).c_str());
      }
      r->operation->cancelOperation();
    }
    for (const std::string& file : filesUnder(downloads())) {
      EXPECT_EQ(reported.count(file), 1u) << "a file no success reported: " << file;
      std::filesystem::remove(file);
    }
  }
}

TEST_F(FaultTableTest, ATransferBelowItsMinimumSpeedFails) {
  // The trickle's whole body is a download's success (above) at its one byte
  // a second; bounded to 100 bytes a second over a second, it is a failure.
  pointAt("trickle");
  URLRequest::setDefaultMinimumSpeed({100, 1});
  Outcome outcome;
  const auto operation = makeOperation("download", "trickle", &outcome);
  operation->executeOperation();
  RunLoop::current().runUntil([&] { return outcome.calls() > 0; }, 10s);
  URLRequest::setDefaultMinimumSpeed({});
  EXPECT_EQ(outcome.failures, 1) << outcome.detail;
  EXPECT_EQ(outcome.successes, 0);
  for (const std::string& file : filesUnder(downloads())) std::filesystem::remove(file);
}

TEST_F(FaultTableTest, AnEndlessUploadNodeReplyFailsAtItsSmallBound) {
  pointAt("endless_chunked");
  Outcome outcome;
  const auto operation = makeOperation("upload", "endless_chunked", &outcome);
  operation->executeOperation();
  RunLoop::current().runUntil([&] { return outcome.calls() > 0; }, 10s);
  EXPECT_EQ(outcome.failures, 1) << outcome.detail;
  EXPECT_EQ(operation->failureStatus().code(), StatusCode::kResourceExhausted)
      << operation->failureStatus().message();
}

TEST_F(FaultTableTest, CancelledOperationsReportNothingAndLeaveNoFile) {
  for (const std::string& fault : kFaults) {
    SCOPED_TRACE(fault);
    pointAt(fault);
    struct Running {
      Outcome outcome;
      std::shared_ptr<NBOperation> operation;
      int callsAtCancel = 0;
    };
    std::vector<std::unique_ptr<Running>> running;
    for (const Row& row : kTable) {
      auto r = std::make_unique<Running>();
      r->operation = makeOperation(row.operation, fault, &r->outcome);
      r->operation->executeOperation();
      running.push_back(std::move(r));
    }
    // Part-way: some have connected, some have a response, some are done.
    RunLoop::current().runUntil([] { return false; }, 50ms);
    std::set<std::string> reported;
    for (const auto& r : running) {
      r->callsAtCancel = r->outcome.calls();
      if (r->outcome.successes > 0) reported.insert(normal(r->outcome.detail));
      r->operation->cancelOperation();
    }
    RunLoop::current().runUntil([] { return false; }, 500ms);
    for (std::size_t i = 0; i < running.size(); ++i) {
      EXPECT_EQ(running[i]->outcome.calls(), running[i]->callsAtCancel) << kTable[i].operation;
    }
    for (const std::string& file : filesUnder(downloads())) {
      EXPECT_EQ(reported.count(file), 1u) << "a file no success reported: " << file;
      std::filesystem::remove(file);
    }
  }
}

}  // namespace
}  // namespace nb
