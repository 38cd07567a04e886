// Every operation driven through every fault of a misbehaving server
// (fault_server.py): the connection refused, accepted and never answered,
// reset part-way, a body shorter than its Content-Length, a trickle of one byte
// a second, statuses 500/502/503, a body that is not JSON, a reply past the
// bound on replies kept in memory, a status with no body, a redirect loop, and
// a TLS certificate from an authority nobody trusts.
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
#include "nb/Private/NBRegisterOperationItem.h"
#include "nb/operations/NBAuth1Operation.h"
#include "nb/operations/NBCopyOperation.h"
#include "nb/operations/NBCopyRefOperation.h"
#include "nb/operations/NBCreateFolderOperation.h"
#include "nb/operations/NBDeleteOperation.h"
#include "nb/operations/NBDocumentConvertOperation.h"
#include "nb/operations/NBDownloadFileOperation.h"
#include "nb/operations/NBGetDirectoryOperation.h"
#include "nb/operations/NBGetFileHistoryOperation.h"
#include "nb/operations/NBGetShareLinkOperation.h"
#include "nb/operations/NBGetUserInfoOperation.h"
#include "nb/operations/NBGetVerificationOperation.h"
#include "nb/operations/NBMoveOperation.h"
#include "nb/operations/NBRegisterOperation.h"
#include "nb/operations/NBThumbnailOperation.h"
#include "nb/operations/NBUploadFileOperation.h"
#include "nb/operations/NBXAuthOperation.h"
#include "nb/platform/RunLoop.h"
#include "nb/platform/URLRequest.h"
#include "nb/platform/internal/Transport.h"
#include "tests/faults/FaultServer.h"
#include "tests/support/TemporaryFolder.h"

namespace nb {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The faults, in the order of the table's columns.
const std::vector<std::string> kFaults = {
    "refused",    "silent",   "reset", "short_body", "trickle",       "status_500", "status_502",
    "status_503", "bad_json", "huge",  "no_body",    "redirect_loop", "other_ca"};

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
    //                       refused  reset    trickle    502    bad_json   no_body    other_ca
    //                          silent   short_body  500     503      huge      redirect_loop
    {"xauth",                  "F  F  F  F  F  F  F  F  F  F  F  F  F"},
    {"three-legged OAuth",     "F  F  F  F  F  F  F  F  F  F  F  F  F"},
    {"verification image",     "F  F  F  F  F  F  F  F  F  F  F  F  F"},
    {"register",               "F  F  F  F  F  F  F  F  F  F  F  F  F"},
    {"account info",           "F  F  F  F  F  F  F  F  F  F  F  F  F"},
    {"metadata",               "F  F  F  F  F  F  F  F  F  F  F  F  F"},
    {"upload",                 "F  F  F  F  F  F  F  F  F  F  F  F  F"},
    {"download",               "F  F  F  F  S  F  F  F  S  S  S  F  F"},
    {"create folder",          "F  F  F  F  F  F  F  F  F  F  F  F  F"},
    {"delete",                 "F  F  F  F  S  S  S  S  S  F  S  F  F"},
    {"move",                   "F  F  F  F  S  S  S  S  S  F  S  F  F"},
    {"copy",                   "F  F  F  F  S  F  F  F  F  F  F  F  F"},
    {"copy reference",         "F  F  F  F  S  F  F  F  F  F  F  F  F"},
    {"share link",             "F  F  F  F  S  F  F  F  F  F  F  F  F"},
    {"thumbnail",              "F  F  F  F  S  F  F  F  S  F  S  F  F"},
    {"document view",          "F  F  F  F  S  F  F  F  S  S  S  F  F"},
    {"history",                "F  F  F  F  F  F  F  F  F  F  F  F  F"},
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

template <class Item>
std::shared_ptr<Item> fileItem(const std::string& fault, const std::string& name) {
  auto item = std::make_shared<Item>();
  item->root = "app";
  item->path = "/" + fault + "/" + name;
  return item;
}

// Makes the named operation, with an item whose paths are the fault's own.
std::shared_ptr<NBOperation> makeOperation(const std::string& name, const std::string& fault,
                                           NBOperationDelegate* delegate) {
  auto signIn = [] {
    auto item = std::make_shared<NBAuthOperationItem>();
    item->consumer = consumer();
    item->userName = "someone";
    item->password = "secret";
    item->httpMethod = "POST";
    return item;
  };
  if (name == "xauth") return std::make_shared<NBXAuthOperation>(delegate, signIn());
  if (name == "three-legged OAuth") return std::make_shared<NBAuth1Operation>(delegate, signIn());
  if (name == "verification image") {
    return std::make_shared<NBGetVerificationOperation>(delegate, signIn());
  }
  if (name == "register") {
    auto item = std::make_shared<NBRegisterOperationItem>();
    item->consumer = consumer();
    item->userName = "someone@example.test";
    item->password = "secret";
    item->httpMethod = "POST";
    item->verifi = std::make_shared<NBVerification>();
    item->verifi->authID = "1";
    item->verifi->verifiCode = "1234";
    item->deviceID = "device";
    return std::make_shared<NBRegisterOperation>(delegate, item);
  }
  if (name == "account info") {
    return std::make_shared<NBGetUserInfoOperation>(delegate, std::make_shared<NBOperationItem>());
  }
  if (name == "metadata") {
    return std::make_shared<NBGetDirectoryOperation>(
        delegate, fileItem<NBGetDirectoryOperationItem>(fault, "folder"));
  }
  if (name == "upload") {
    auto item = fileItem<NBUploadFileOperationItem>(fault, "up.txt");
    item->fileName = "up.txt";
    item->fileData = "uploaded bytes";
    return std::make_shared<NBUploadFileOperation>(delegate, item);
  }
  if (name == "download") {
    return std::make_shared<NBDownloadFileOperation>(
        delegate, fileItem<NBFolderOperationItem>(fault, "file.bin"));
  }
  if (name == "create folder") {
    return std::make_shared<NBCreateFolderOperation>(delegate,
                                                     fileItem<NBFolderOperationItem>(fault, "new"));
  }
  if (name == "delete") {
    return std::make_shared<NBDeleteOperation>(delegate,
                                               fileItem<NBFolderOperationItem>(fault, "old"));
  }
  if (name == "move" || name == "copy") {
    auto item = fileItem<NBCopyOperationItem>(fault, "a");
    item->fromPath = "/" + fault + "/a";
    item->toPath = "/" + fault + "/b";
    if (name == "move") return std::make_shared<NBMoveOperation>(delegate, item);
    return std::make_shared<NBCopyOperation>(delegate, item);
  }
  if (name == "copy reference") {
    return std::make_shared<NBCopyRefOperation>(delegate,
                                                fileItem<NBFolderOperationItem>(fault, "a"));
  }
  if (name == "share link") {
    return std::make_shared<NBGetShareLinkOperation>(
        delegate, fileItem<NBGetShareLinkOperationItem>(fault, "a"));
  }
  if (name == "thumbnail") {
    auto item = fileItem<NBThumbnailOperationItem>(fault, "pic.png");
    item->width = 32;
    item->height = 32;
    return std::make_shared<NBThumbnailOperation>(delegate, item);
  }
  if (name == "document view") {
    auto item = fileItem<NBDocumentConvertOperationItem>(fault, "doc.txt");
    item->documentType = 9;  // txt
    return std::make_shared<NBDocumentConvertOperation>(delegate, item);
  }
  if (name == "history") {
    return std::make_shared<NBGetFileHistoryOperation>(delegate,
                                                       fileItem<NBFolderOperationItem>(fault, "a"));
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
