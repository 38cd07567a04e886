#include <gtest/gtest.h>
#include <sys/stat.h>

#include "nb/platform/SqliteDatabase.h"
#include "nb/platform/UserDefaults.h"
#include "tests/support/TempDataHome.h"

namespace nb {
namespace {

using Dictionary = PropertyValue::Dictionary;

class UserDefaultsTest : public ::testing::Test {
 protected:
  ~UserDefaultsTest() override {
    UserDefaults::setApplicationId("");
    unsetenv("NB_APP_ID");
  }
  std::unique_ptr<UserDefaults> open(const std::string& app) {
    std::string error;
    auto defaults = UserDefaults::open(app, &error);
    EXPECT_TRUE(defaults) << error;
    return defaults;
  }

  TempDataHome home_;
};

TEST_F(UserDefaultsTest, StoresValuesPerApplication) {
  const PropertyValue record = Dictionary{
      {"id", "abc"}, {"when", std::chrono::system_clock::now()}, {"nested", Dictionary{{"n", 1}}}};
  ASSERT_TRUE(open("com.example.one")->setObject(record, "record"));
  ASSERT_TRUE(open("com.example.one")->setObject("replaced", "name"));
  ASSERT_TRUE(open("com.example.one")->setObject("final", "name"));

  auto one = open("com.example.one");
  EXPECT_TRUE(one->objectForKey("record") == record);
  EXPECT_TRUE(one->objectForKey("name") == PropertyValue("final"));
  std::string error = "unset";
  EXPECT_FALSE(open("com.example.two")->objectForKey("record", &error));
  EXPECT_EQ(error, "") << "absent is not an error";

  ASSERT_TRUE(one->removeObjectForKey("record"));
  ASSERT_TRUE(one->removeObjectForKey("never set"));
  EXPECT_FALSE(one->objectForKey("record"));

  struct stat file {
  }, folder{};
  ASSERT_EQ(stat((home_.path() + "/defaults/com.example.one.db").c_str(), &file), 0);
  ASSERT_EQ(stat((home_.path() + "/defaults").c_str(), &folder), 0);
  EXPECT_EQ(file.st_mode & 0777, 0600u);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
}

TEST_F(UserDefaultsTest, ApplicationIdComesFromSetterThenEnvironmentThenProgramName) {
  unsetenv("NB_APP_ID");
  EXPECT_EQ(UserDefaults::applicationId(), program_invocation_short_name);
  setenv("NB_APP_ID", "from.environment", 1);
  EXPECT_EQ(UserDefaults::applicationId(), "from.environment");
  UserDefaults::setApplicationId("from.setter");
  EXPECT_EQ(UserDefaults::applicationId(), "from.setter");

  ASSERT_TRUE(UserDefaults::standardUserDefaults()->setObject(1, "k"));
  EXPECT_TRUE(open("from.setter")->objectForKey("k") == PropertyValue(1));

  UserDefaults::setApplicationId("");
  EXPECT_EQ(UserDefaults::applicationId(), "from.environment");
}

TEST_F(UserDefaultsTest, RefusesApplicationIdsThatAreNotPlainFileNames) {
  for (const std::string id : {"", ".", "..", ".hidden", "a/b", "../escape", "a b", "ü"}) {
    std::string error;
    EXPECT_FALSE(UserDefaults::open(id, &error)) << id;
    EXPECT_NE(error.find("application id"), std::string::npos) << id << ": " << error;
  }
}

TEST_F(UserDefaultsTest, UnreadableStoredValueIsAnErrorAndSparesOtherKeys) {
  auto defaults = open("app");
  ASSERT_TRUE(defaults->setObject("fine", "good"));
  {
    auto raw = SqliteDatabase::open(home_.path() + "/defaults/app.db", nullptr);
    ASSERT_TRUE(raw->exec("INSERT INTO defaults VALUES ('bad', x'00010203')").ok());
  }
  std::string error;
  EXPECT_FALSE(defaults->objectForKey("bad", &error));
  EXPECT_NE(error.find("unreadable"), std::string::npos) << error;
  EXPECT_TRUE(defaults->objectForKey("good", &error) == PropertyValue("fine"));
  EXPECT_EQ(error, "");
}

}  // namespace
}  // namespace nb
