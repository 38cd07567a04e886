#include "nb/platform/SecItem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "tests/support/TempDataHome.h"

namespace nb {
namespace {

SecItemDictionary item(const std::string& account, std::optional<std::string> data = "secret") {
  SecItemDictionary d;
  d.itemClass = kSecClassGenericPassword;
  d.service = "www.nimbus.test";
  d.label = "www.nimbus.test";
  d.account = account;
  d.valueData = std::move(data);
  return d;
}

SecItemDictionary query(const std::string& account) {
  SecItemDictionary d;
  d.itemClass = kSecClassGenericPassword;
  d.service = "www.nimbus.test";
  d.account = account;
  return d;
}

TEST(SecItemTest, ItemsAreAddedFoundUpdatedAndDeletedByIdentity) {
  TempDataHome home;
  EXPECT_EQ(SecItemAdd(item("TokenKey", std::string("a\0b", 3))), errSecSuccess);
  EXPECT_EQ(SecItemAdd(item("TokenKey", "other")), errSecDuplicateItem);
  EXPECT_EQ(SecItemAdd(item("TokenSecretKey")), errSecSuccess);

  SecItemDictionary both = query("TokenKey");
  both.returnAttributes = true;
  both.returnData = true;
  SecItemResult found;
  ASSERT_EQ(SecItemCopyMatching(both, &found), errSecSuccess);
  EXPECT_EQ(found.account, "TokenKey");
  EXPECT_EQ(found.label, "www.nimbus.test");
  EXPECT_EQ(found.valueData, std::string("a\0b", 3));  // bytes kept exactly

  SecItemDictionary attributesOnly = query("TokenKey");
  attributesOnly.returnAttributes = true;
  ASSERT_EQ(SecItemCopyMatching(attributesOnly, &found), errSecSuccess);
  EXPECT_FALSE(found.valueData.has_value());

  SecItemDictionary change;
  change.valueData = "new";
  SecItemDictionary byLabel = query("TokenKey");
  byLabel.label = "another label";
  EXPECT_EQ(SecItemUpdate(byLabel, change), errSecItemNotFound);  // the label is part of the match
  byLabel.label = "www.nimbus.test";
  EXPECT_EQ(SecItemUpdate(byLabel, change), errSecSuccess);
  SecItemDictionary data = query("TokenKey");
  data.returnData = true;
  ASSERT_EQ(SecItemCopyMatching(data, &found), errSecSuccess);
  EXPECT_EQ(found.valueData, "new");

  SecItemDictionary rename;
  rename.account = "TokenSecretKey";
  EXPECT_EQ(SecItemUpdate(query("TokenKey"), rename), errSecDuplicateItem);

  EXPECT_EQ(SecItemDelete(query("TokenKey")), errSecSuccess);
  EXPECT_EQ(SecItemDelete(query("TokenKey")), errSecItemNotFound);
  EXPECT_EQ(SecItemCopyMatching(query("TokenKey"), nullptr), errSecItemNotFound);
  EXPECT_EQ(SecItemUpdate(query("TokenKey"), change), errSecItemNotFound);
  EXPECT_EQ(SecItemCopyMatching(query("TokenSecretKey"), nullptr), errSecSuccess);
}

TEST(SecItemTest, MalformedQueriesAndUnusableStoresAreRefused) {
  TempDataHome home;
  SecItemDictionary classless = query("x");
  classless.itemClass.reset();
  EXPECT_EQ(SecItemCopyMatching(classless, nullptr), errSecParam);
  EXPECT_EQ(SecItemAdd(classless), errSecParam);
  EXPECT_EQ(SecItemDelete(classless), errSecParam);
  EXPECT_EQ(SecItemUpdate(query("x"), SecItemDictionary{}), errSecParam);

  // The data home is a file: no store can be made there.
  const std::string file = home.path() + "/file";
  std::ofstream(file) << "not a folder";
  ::setenv("NB_DATA_HOME", file.c_str(), 1);
  EXPECT_EQ(SecItemAdd(item("x")), errSecNotAvailable);
  EXPECT_EQ(SecItemCopyMatching(query("x"), nullptr), errSecNotAvailable);
}

// A session opens the store once for a run of calls; what other connections
// write meanwhile is seen, and a store that could not be opened is tried again.
TEST(SecItemTest, SessionSharesOneStoreAndSeesOtherWriters) {
  TempDataHome home;
  {
    const SecItemSession session;
    const SecItemSession nested;
    ASSERT_EQ(SecItemAdd(item("ConsumerKey")), errSecSuccess);
    // Another thread has no session: it writes through a store of its own.
    std::thread([] { EXPECT_EQ(SecItemAdd(item("TokenKey")), errSecSuccess); }).join();
    EXPECT_EQ(SecItemCopyMatching(query("TokenKey"), nullptr), errSecSuccess);
    EXPECT_EQ(SecItemDelete(query("ConsumerKey")), errSecSuccess);
  }
  EXPECT_EQ(SecItemCopyMatching(query("ConsumerKey"), nullptr), errSecItemNotFound);

  const std::string file = home.path() + "/file";
  std::ofstream(file) << "not a folder";
  ::setenv("NB_DATA_HOME", file.c_str(), 1);
  const SecItemSession session;
  EXPECT_EQ(SecItemCopyMatching(query("TokenKey"), nullptr), errSecNotAvailable);
  ::setenv("NB_DATA_HOME", home.path().c_str(), 1);
  EXPECT_EQ(SecItemCopyMatching(query("TokenKey"), nullptr), errSecSuccess);
}

TEST(SecItemTest, StoreIsPrivateToTheUser) {
  TempDataHome home;
  const std::string folderPath = home.path() + "/made/by/the/store";
  ::setenv("NB_DATA_HOME", folderPath.c_str(), 1);
  ASSERT_EQ(SecItemAdd(item("ConsumerKey")), errSecSuccess);
  struct stat folder {}, file {};
  ASSERT_EQ(::stat(folderPath.c_str(), &folder), 0);
  ASSERT_EQ(::stat((folderPath + "/keychain.db").c_str(), &file), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  EXPECT_EQ(file.st_mode & 0777, 0600u);

  // Reading makes no journal or shared-memory file beside the store, even
  // while it stays open: every command reads the sign-in, and creating files
  // costs it start-up time.
  const SecItemSession session;
  ASSERT_EQ(SecItemCopyMatching(query("ConsumerKey"), nullptr), errSecSuccess);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folderPath)) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"keychain.db"});
}

}  // namespace
}  // namespace nb
