#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "cli/CredentialStore.h"
#include "nb/Private/KeychainUtils.h"
#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"

namespace nb::cli {
namespace {

class CredentialStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("nb-cli-credentials-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder_);
    setenv("NB_DATA_HOME", folder_.c_str(), 1);
    NBAPIInfo::instance().clearAuthInfo();
  }
  void TearDown() override {
    NBAPIInfo::instance().clearAuthInfo();
    std::filesystem::remove_all(folder_);
  }
  static std::optional<std::string> stored(const char* key) {
    return KeychainUtils::getValueForKey(key, NBHosts::webHost(), nullptr);
  }

  std::filesystem::path folder_;
};

TEST_F(CredentialStoreTest, StoresTheFourValuesAndSignsIn) {
  EXPECT_FALSE(CredentialStore::hasAccessToken());
  EXPECT_FALSE(
      CredentialStore::storeTokenAndConsumer(NBToken("t1", "ts1"), NBConsumer("k1", "s1")));
  EXPECT_EQ(stored("TokenKey"), "t1");
  EXPECT_EQ(stored("TokenSecretKey"), "ts1");
  EXPECT_EQ(stored("ConsumerKey"), "k1");
  EXPECT_EQ(stored("ConsumerSecretKey"), "s1");
  EXPECT_TRUE(CredentialStore::hasAccessToken());

  // A later sign-in replaces every value, an absent secret included.
  EXPECT_FALSE(
      CredentialStore::storeTokenAndConsumer(NBToken("t2", std::nullopt), NBConsumer("k2", "s2")));
  EXPECT_EQ(stored("TokenKey"), "t2");
  EXPECT_EQ(stored("TokenSecretKey"), "");
  EXPECT_EQ(stored("ConsumerKey"), "k2");
  EXPECT_EQ(*NBAPIInfo::instance().token()->token, "t2") << "NBAPIInfo reloads";
}

TEST_F(CredentialStoreTest, RefusesATokenWithoutItsString) {
  EXPECT_TRUE(
      CredentialStore::storeTokenAndConsumer(NBToken(std::nullopt, "ts"), NBConsumer("k", "s")));
  EXPECT_FALSE(stored("TokenSecretKey"));
  EXPECT_FALSE(stored("ConsumerKey"));
  EXPECT_FALSE(CredentialStore::hasAccessToken());
}

TEST_F(CredentialStoreTest, SignOutDeletesEverythingAndIsRepeatable) {
  ASSERT_FALSE(CredentialStore::storeTokenAndConsumer(NBToken("t", "ts"), NBConsumer("k", "s")));
  CredentialStore::clearAuthInfo();
  for (const char* key : {"TokenKey", "TokenSecretKey", "ConsumerKey", "ConsumerSecretKey"}) {
    EXPECT_FALSE(stored(key)) << key;
  }
  EXPECT_FALSE(CredentialStore::hasAccessToken());
  CredentialStore::clearAuthInfo();  // nothing stored: still fine
  EXPECT_FALSE(CredentialStore::hasAccessToken());
}

}  // namespace
}  // namespace nb::cli
