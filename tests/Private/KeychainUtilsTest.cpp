#include "nb/Private/KeychainUtils.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "nb/platform/SecItem.h"
#include "tests/support/TempDataHome.h"

namespace nb {
namespace {

const std::string kService = "www.nimbus.test";

NBError staleError() { return NBError{"stale", 99, "left from before", nullptr}; }

TEST(KeychainUtilsTest, MissingArgumentsAreRefusedWithMinus2000) {
  TempDataHome home;
  const std::optional<std::string> none;
  NBError error;
  EXPECT_FALSE(KeychainUtils::getValueForKey(none, kService, &error));
  EXPECT_EQ(error.code, -2000);
  EXPECT_EQ(error.domain, "VaultKeychainUtilsErrorDomain");
  error = {};
  EXPECT_FALSE(KeychainUtils::getValueForKey("k", none, &error));
  EXPECT_EQ(error.code, -2000);
  error = {};
  EXPECT_FALSE(KeychainUtils::storeKey("k", none, kService, true, &error));
  EXPECT_EQ(error.code, -2000);
  error = {};
  EXPECT_FALSE(KeychainUtils::storeKey(none, "v", kService, true, &error));
  EXPECT_EQ(error.code, -2000);
  error = {};
  EXPECT_FALSE(KeychainUtils::deleteForKey("k", none, &error));
  EXPECT_EQ(error.code, -2000);
  // Without an out-parameter the same calls simply fail.
  EXPECT_FALSE(KeychainUtils::storeKey("k", "v", none, true));
}

TEST(KeychainUtilsTest, AbsentItemIsNilWithoutErrorAndCannotBeDeleted) {
  TempDataHome home;
  NBError error = staleError();
  EXPECT_FALSE(KeychainUtils::getValueForKey("TokenKey", kService, &error));
  EXPECT_EQ(error.code, 0);  // cleared
  EXPECT_TRUE(error.domain.empty());

  error = staleError();
  EXPECT_FALSE(KeychainUtils::deleteForKey("TokenKey", kService, &error));
  EXPECT_EQ(error.code, errSecItemNotFound);
  EXPECT_EQ(error.domain, "VaultKeychainUtilsErrorDomain");
}

TEST(KeychainUtilsTest, UpdateFlagDecidesWhetherAnExistingValueIsReplaced) {
  struct Case {
    std::string second;
    bool update;
    std::string kept;
  };
  const Case cases[] = {
      {"first", false, "first"},   // same value: nothing to write
      {"first", true, "first"},
      {"second", false, "first"},  // different value kept, still success
      {"second", true, "second"},
      {"", true, ""},              // empty is a value, not an absence
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.second + (c.update ? " update" : " keep"));
    TempDataHome home;
    NBError error = staleError();
    ASSERT_TRUE(KeychainUtils::storeKey("ConsumerKey", "first", kService, c.update, &error));
    EXPECT_EQ(error.code, 0);
    error = staleError();
    EXPECT_TRUE(KeychainUtils::storeKey("ConsumerKey", c.second, kService, c.update, &error));
    EXPECT_EQ(error.code, 0);
    EXPECT_EQ(KeychainUtils::getValueForKey("ConsumerKey", kService), c.kept);
    // Still one item: deleting it once empties the store.
    EXPECT_TRUE(KeychainUtils::deleteForKey("ConsumerKey", kService));
    EXPECT_FALSE(KeychainUtils::getValueForKey("ConsumerKey", kService));
  }
}

TEST(KeychainUtilsTest, ItemWithoutReadableValueIsReportedThenReplacedByStore) {
  TempDataHome home;
  SecItemDictionary valueless;
  valueless.itemClass = kSecClassGenericPassword;
  valueless.service = kService;
  valueless.account = "TokenKey";
  ASSERT_EQ(SecItemAdd(valueless), errSecSuccess);

  NBError error;
  EXPECT_FALSE(KeychainUtils::getValueForKey("TokenKey", kService, &error));
  EXPECT_EQ(error.code, -1999);

  error = staleError();
  EXPECT_TRUE(KeychainUtils::storeKey("TokenKey", "fresh", kService, false, &error));
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(KeychainUtils::getValueForKey("TokenKey", kService), "fresh");
}

TEST(KeychainUtilsTest, TwoProcessesStoringAtOnceLoseNothing) {
  TempDataHome home;
  ASSERT_TRUE(KeychainUtils::storeKey("warm-up", "1", kService, true));  // store exists
  constexpr int kKeys = 40;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char go;
    bool ok = ::read(ready[0], &go, 1) == 1;
    for (int i = 0; i < kKeys; ++i) {
      ok = KeychainUtils::storeKey("child-" + std::to_string(i), "c" + std::to_string(i),
                                   kService, true) && ok;
    }
    ::_exit(ok ? 0 : 1);
  }
  ASSERT_EQ(::write(ready[1], "g", 1), 1);  // both start now
  bool ok = true;
  for (int i = 0; i < kKeys; ++i) {
    ok = KeychainUtils::storeKey("parent-" + std::to_string(i), "p" + std::to_string(i), kService,
                                 true) && ok;
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int i = 0; i < kKeys; ++i) {
    EXPECT_EQ(KeychainUtils::getValueForKey("parent-" + std::to_string(i), kService),
              "p" + std::to_string(i));
    EXPECT_EQ(KeychainUtils::getValueForKey("child-" + std::to_string(i), kService),
              "c" + std::to_string(i));
  }
  ::close(ready[0]);
  ::close(ready[1]);
}

}  // namespace
}  // namespace nb
