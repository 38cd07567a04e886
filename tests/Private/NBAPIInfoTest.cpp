#include "nb/Private/NBAPIInfo.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "nb/Private/KeychainUtils.h"
#include "nb/Private/NBHosts.h"
#include "tests/support/TempDataHome.h"

namespace nb {
namespace {

void store(const std::string& key, const std::string& value) {
  ASSERT_TRUE(KeychainUtils::storeKey(key, value, NBHosts::webHost(), true));
}

// The shared object outlives each test; every test starts it empty on an
// empty keychain of its own.
class NBAPIInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { NBAPIInfo::instance().clearAuthInfo(); }
  TempDataHome home;
};

TEST_F(NBAPIInfoTest, EmptyKeychainGivesNeither) {
  auto& info = NBAPIInfo::instance();
  EXPECT_EQ(info.consumer(), nullptr);
  EXPECT_EQ(info.token(), nullptr);
}

TEST_F(NBAPIInfoTest, PartialPairIsLoadedAsFarAsItGoesAndReloadedUntilComplete) {
  store("ConsumerKey", "ck");  // no consumer secret stored
  auto& info = NBAPIInfo::instance();
  ASSERT_NE(info.consumer(), nullptr);
  EXPECT_EQ(info.consumer()->key, "ck");
  EXPECT_EQ(info.consumer()->secret, std::nullopt);
  EXPECT_EQ(info.token(), nullptr);

  // Incomplete, so the next instance() reads the keychain again.
  store("ConsumerSecretKey", "cs");
  store("TokenKey", "tk");
  NBAPIInfo::instance();
  ASSERT_NE(info.token(), nullptr);
  EXPECT_EQ(info.token()->token, "tk");
  EXPECT_EQ(info.token()->tokenSecret, std::nullopt);
  EXPECT_EQ(info.consumer()->secret, "cs");
}

TEST_F(NBAPIInfoTest, LoadedPairStaysUntilClearedThenReloads) {
  store("ConsumerKey", "ck");
  store("ConsumerSecretKey", "cs");
  store("TokenKey", "tk");
  store("TokenSecretKey", "ts");
  auto& info = NBAPIInfo::instance();
  EXPECT_EQ(info.token()->tokenSecret, "ts");

  store("TokenKey", "tk2");
  EXPECT_EQ(NBAPIInfo::instance().token()->token, "tk");  // loaded: not re-read
  NBAPIInfo::instance().clearAuthInfo();
  EXPECT_EQ(info.consumer(), nullptr);
  EXPECT_EQ(NBAPIInfo::instance().token()->token, "tk2");
  EXPECT_EQ(info.consumer()->key, "ck");

  // Setters replace what is held without touching the keychain.
  info.setToken(std::make_shared<NBToken>("set", "by hand"));
  EXPECT_EQ(NBAPIInfo::instance().token()->token, "set");
  EXPECT_EQ(KeychainUtils::getValueForKey("TokenKey", NBHosts::webHost()), "tk2");
}

TEST_F(NBAPIInfoTest, ThreadsShareOneObjectSafely) {
  store("ConsumerKey", "ck");
  store("TokenKey", "tk");
  std::vector<std::thread> threads;
  std::vector<NBAPIInfo*> seen(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        auto& info = NBAPIInfo::instance();
        seen[t] = &info;
        if (i % 10 == 0) info.clearAuthInfo();
        auto token = info.token();
        if (token) {
          EXPECT_EQ(token->token, "tk");
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (auto* info : seen) EXPECT_EQ(info, &NBAPIInfo::instance());
}

}  // namespace
}  // namespace nb
