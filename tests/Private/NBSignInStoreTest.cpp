#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "nb/Private/KeychainUtils.h"
#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/Private/NBSignInStore.h"
#include "tests/support/TempDataHome.h"

namespace nb {
namespace {

std::optional<std::string> stored(const char* key) {
  return KeychainUtils::getValueForKey(key, NBHosts::webHost());
}

class NBSignInStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("NB_KEYCHAIN", "file", 1); }
  TempDataHome home;
  NBConsumer consumer{"app-key", "app-secret"};
};

TEST_F(NBSignInStoreTest, StoresTheFourValuesAndNBAPIInfoReloadsThem) {
  NBAPIInfo::instance().clearAuthInfo();
  ASSERT_FALSE(NBAPIInfo::instance().token());
  EXPECT_FALSE(NBSignInStore::isAlreadAuth("app-key"));

  ASSERT_TRUE(NBSignInStore::storeTokenAndConsumer(NBToken("tok", std::nullopt), consumer).ok());
  EXPECT_EQ(stored("TokenKey"), "tok");
  EXPECT_EQ(stored("TokenSecretKey"), "");  // an absent secret replaces an older one
  EXPECT_EQ(stored("ConsumerKey"), "app-key");
  EXPECT_EQ(stored("ConsumerSecretKey"), "app-secret");
  auto token = NBAPIInfo::instance().token();
  ASSERT_TRUE(token);
  EXPECT_EQ(token->token, "tok");
  EXPECT_TRUE(NBSignInStore::isAlreadAuth("app-key"));
  EXPECT_FALSE(NBSignInStore::isAlreadAuth("other-key"));
  EXPECT_FALSE(NBSignInStore::isAlreadAuth(std::nullopt));

  // A later sign-in replaces every value.
  ASSERT_TRUE(NBSignInStore::storeTokenAndConsumer(NBToken("tok2", "sec2"), consumer).ok());
  EXPECT_EQ(stored("TokenSecretKey"), "sec2");

  NBSignInStore::clearAuthInfo();
  for (const char* key : {"TokenKey", "TokenSecretKey", "ConsumerKey", "ConsumerSecretKey"}) {
    EXPECT_FALSE(stored(key)) << key;
  }
  EXPECT_FALSE(NBAPIInfo::instance().token());
  NBSignInStore::clearAuthInfo();  // nothing stored: no error
}

TEST_F(NBSignInStoreTest, RefusalsWriteNothingOrNameTheItem) {
  const Status noToken = NBSignInStore::storeTokenAndConsumer(NBToken(std::nullopt, "s"), consumer);
  EXPECT_EQ(noToken.code(), StatusCode::kInvalidArgument);
  EXPECT_FALSE(stored("ConsumerKey"));

  // A data folder that cannot exist: its parent is a file.
  const std::string blocker = home.path() + "/file";
  std::ofstream(blocker) << "x";
  TempDataHome inner;
  setenv("NB_DATA_HOME", (blocker + "/data").c_str(), 1);
  const Status refused = NBSignInStore::storeTokenAndConsumer(NBToken("t", "s"), consumer);
  EXPECT_EQ(refused.code(), StatusCode::kIOError);
  EXPECT_NE(refused.message().find("TokenKey"), std::string::npos) << refused.message();
}

}  // namespace
}  // namespace nb
