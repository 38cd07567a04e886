// Helpers shared by the transfer tests: a temporary home directory for the
// test's process, and a delegate that records every outcome and progress call.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "nb/Private/NBCredentialSource.h"
#include "nb/Private/NBNetworkOperation.h"
#include "nb/Private/NBOperationDelegate.h"
#include "nb/platform/RunLoop.h"
#include "nb/platform/internal/MemoryTransport.h"
#include "tests/support/TemporaryFolder.h"

namespace nb::testing {

// Points NB_HOME (downloads) and NB_DATA_HOME (stored credentials: none) at a
// fresh temporary folder for the life of the object.
class TemporaryHome {
 public:
  TemporaryHome() {
    if (!folder_.ok()) ADD_FAILURE() << "cannot make a temporary folder";
    ::setenv("NB_HOME", path().c_str(), 1);
    ::setenv("NB_DATA_HOME", (path() / "data").c_str(), 1);
  }
  const std::filesystem::path& path() const { return folder_.path(); }

 private:
  nb::test::TemporaryFolder folder_{"nb-transfer"};
};

inline std::string fileContents(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

struct RecordingDelegate : NBOperationDelegate, NBOperationProgressDelegate {
  std::vector<NBResult> successes;
  std::vector<std::string> failures;
  std::vector<std::pair<std::int64_t, std::int64_t>> progress;  // (written, expected)

  void operationSuccess(NBOperation*, const NBResult& result) override {
    successes.push_back(result);
  }
  void operationFail(NBOperation*, const std::string& message) override {
    failures.push_back(message);
  }
  void operationTotalBytesWritten(NBOperation*, std::int64_t written,
                                  std::int64_t expected) override {
    progress.emplace_back(written, expected);
  }
  std::size_t outcomes() const { return successes.size() + failures.size(); }
};

// Runs `operation` from its first step over `transport`, signed with a fixed
// consumer and token, until no request of it is left in flight.
inline void runScripted(NBNetworkOperation& operation,
                        const std::shared_ptr<MemoryTransport>& transport) {
  operation.setTransport(transport);
  operation.setCredentialSource(
      NBCredentialSource::fixed(NBConsumer("ck", "cs"), NBToken("tk", "ts")));
  operation.executeOperation();
  const bool ended = RunLoop::current().runUntil([&] { return transport->running() == 0; },
                                                 std::chrono::seconds(5));
  EXPECT_TRUE(ended) << "a scripted request is still running";
}

}  // namespace nb::testing
