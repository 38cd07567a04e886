#include "nb/platform/Pasteboard.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "nb/platform/internal/PasteboardStore.h"
#include "tests/platform/TempDataHome.h"

namespace nb {
namespace {

using Bytes = std::vector<std::uint8_t>;

class PasteboardTest : public ::testing::Test {
 protected:
  std::shared_ptr<PasteboardStore> openStore() {
    std::string error;
    auto store = PasteboardStore::open(&error);
    EXPECT_TRUE(store) << error;
    return store;
  }
  bool exists(const std::string& name) {
    std::string error;
    const bool found = Pasteboard::pasteboardWithName(openStore(), name, false, &error) != nullptr;
    EXPECT_EQ(error, "");
    return found;
  }

  TempDataHome home_;
};

TEST_F(PasteboardTest, LooksUpWithoutCreatingAndCreatesOnDemand) {
  auto store = openStore();
  std::string error = "unset";
  EXPECT_EQ(Pasteboard::pasteboardWithName(store, "p", false, &error), nullptr);
  EXPECT_EQ(error, "") << "absent is not an error";
  EXPECT_FALSE(exists("p"));

  auto created = Pasteboard::pasteboardWithName(store, "p", true, &error);
  ASSERT_TRUE(created) << error;
  EXPECT_EQ(created->name(), "p");
  EXPECT_FALSE(created->persistent());
  EXPECT_TRUE(exists("p"));
  EXPECT_FALSE(created->dataForPasteboardType("t")) << "a new pasteboard is empty";
}

TEST_F(PasteboardTest, HoldsOneTypedEntryThatWritesReplace) {
  auto board = Pasteboard::pasteboardWithName(openStore(), "p", true);
  ASSERT_TRUE(board->setPersistent(true));
  ASSERT_TRUE(board->setData(Bytes{1, 2, 3}, "type.a"));
  EXPECT_EQ(board->dataForPasteboardType("type.a"), (Bytes{1, 2, 3}));
  EXPECT_FALSE(board->dataForPasteboardType("type.b"));

  ASSERT_TRUE(board->setData(Bytes{}, "type.b"));
  EXPECT_FALSE(board->dataForPasteboardType("type.a"));
  EXPECT_EQ(board->dataForPasteboardType("type.b"), Bytes{}) << "empty data is still data";

  // Another connection (as another application) sees the same content.
  auto other = Pasteboard::pasteboardWithName(openStore(), "p", false);
  ASSERT_TRUE(other);
  EXPECT_EQ(other->dataForPasteboardType("type.b"), Bytes{});
}

TEST_F(PasteboardTest, OnlyPersistentPasteboardsOutliveTheirCreator) {
  auto store = openStore();
  Pasteboard::pasteboardWithName(store, "temporary", true)->setData(Bytes{1}, "t");
  auto kept = Pasteboard::pasteboardWithName(store, "kept", true);
  ASSERT_TRUE(kept->setPersistent(true));
  kept.reset();
  EXPECT_FALSE(exists("temporary"));
  EXPECT_TRUE(exists("kept"));

  // Opening and dropping an existing pasteboard leaves it alone.
  auto opened = Pasteboard::pasteboardWithName(store, "kept", true);
  EXPECT_TRUE(opened->persistent());
  opened.reset();
  EXPECT_TRUE(exists("kept"));
}

TEST_F(PasteboardTest, RemovedPasteboardsAreGoneForEveryHandle) {
  auto store = openStore();
  auto board = Pasteboard::pasteboardWithName(store, "p", true);
  board->setPersistent(true);
  ASSERT_TRUE(Pasteboard::removePasteboardWithName(*store, "p"));
  ASSERT_TRUE(Pasteboard::removePasteboardWithName(*store, "never existed"));
  EXPECT_FALSE(exists("p"));
  std::string error;
  EXPECT_FALSE(board->setData(Bytes{1}, "t", &error));
  EXPECT_NE(error.find("removed"), std::string::npos) << error;
}

TEST_F(PasteboardTest, StoreIsPrivateToTheUser) {
  openStore();
  struct stat folder {
  }, file{};
  ASSERT_EQ(stat(home_.path().c_str(), &folder), 0);
  ASSERT_EQ(stat((home_.path() + "/pasteboards.db").c_str(), &file), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  EXPECT_EQ(file.st_mode & 0777, 0600u);
}

TEST_F(PasteboardTest, TransactionHoldsOffOtherWriters) {
  auto first = openStore();
  auto second = openStore();
  ASSERT_TRUE(first->begin());
  std::atomic<bool> secondBegan{false};
  std::thread other([&] {
    EXPECT_TRUE(second->begin());
    secondBegan = true;
    Pasteboard::pasteboardWithName(second, "p", true)->setPersistent(true);
    EXPECT_TRUE(second->commit());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(secondBegan) << "a second writer entered while the first held the lock";
  EXPECT_FALSE(Pasteboard::pasteboardWithName(first, "p", false));
  ASSERT_TRUE(first->commit());
  other.join();
  EXPECT_TRUE(exists("p"));
}

TEST_F(PasteboardTest, UnusableDataHomeIsAnError) {
  const std::string file = home_.path() + "/file";
  FILE* f = fopen(file.c_str(), "w");
  fclose(f);
  setenv("NB_DATA_HOME", file.c_str(), 1);
  std::string error;
  EXPECT_FALSE(PasteboardStore::open(&error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace nb
