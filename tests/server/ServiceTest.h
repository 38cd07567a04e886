// ServiceTest: a fixture for suites that share one nbserver per suite, with
// three accounts (carol, dave, and tiny with a 900-byte quota and 600-byte
// files), and give each test a fresh ServiceClient.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/server/ServiceClient.h"

namespace nb::test {

class ServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new NbServerProcess();
    ASSERT_TRUE(server_->ok()) << server_->error();
    ASSERT_TRUE(server_->addUser("carol", "carol-pass"));
    ASSERT_TRUE(server_->addUser("dave", "dave-pass"));
    ASSERT_TRUE(
        server_->addUser("tiny", "tiny-pass", {"--quota", "900", "--max-file-size", "600"}));
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(server_, nullptr);
    client_ = std::make_unique<ServiceClient>(*server_);
  }

  static std::string api(const std::string& path) {
    return "http://" + ServiceClient::api() + path;
  }
  Reply call(const NBToken& token, const std::string& path, const NBParameters& params = {}) {
    return client_->signedGet(api(path), &token, params);
  }

  static inline NbServerProcess* server_ = nullptr;
  std::unique_ptr<ServiceClient> client_;
};

}  // namespace nb::test
