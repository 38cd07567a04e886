// What sync remembers between runs and the safety net of its deletions: the
// state database of a pair, the hash taken from streamed bytes, and the
// limit on what one run may delete.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/sync/ContentHash.h"
#include "cli/sync/DeleteLimit.h"
#include "cli/sync/SyncState.h"
#include "nb/platform/internal/SqliteDatabase.h"
#include "tests/support/TempDataHome.h"

namespace nb::cli {
namespace {

constexpr const char* kAbcHash = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(ContentHashTest, HashesBytesInOrderAndKnowsWhenItCannot) {
  ContentHash pieces;
  pieces.add("a");
  pieces.add("bc");
  EXPECT_EQ(pieces.hex(), kAbcHash);

  ContentHash resent;  // a retried request reads the file again from its start
  resent.addAt(0, "ab");
  resent.addAt(0, "a");
  resent.addAt(1, "bc");
  EXPECT_EQ(resent.hex(), kAbcHash);

  ContentHash gap;
  gap.addAt(0, "a");
  gap.addAt(2, "c");
  EXPECT_EQ(gap.hex(), "") << "a hash of bytes out of order is unknown, never wrong";
}

TEST(SyncStateTest, RemembersEachPairApartAndAcrossOpenings) {
  TempDataHome home;
  FileState file{{3, "Thu, 10 Dec 2026 15:33:59 +0000", "7"}, {1, 2, 3, 40, 50}, kAbcHash};
  {
    auto state = SyncState::open("/tmp/pair-a", "app:/x");
    ASSERT_TRUE(state.ok()) << state.status().message();
    ASSERT_TRUE(
        (*state)->save({{"d/f", file}, {"d/g", file}, {"dx", file}, {"top", file}}, {}).ok());
    ASSERT_TRUE((*state)->save({}, {"d"}).ok());
  }
  auto again = SyncState::open("/tmp/pair-a", "app:/x");
  ASSERT_TRUE(again.ok());
  EXPECT_EQ((*again)->find("d/f"), nullptr) << "a forgotten folder takes what is under it";
  EXPECT_EQ((*again)->find("d/g"), nullptr);
  ASSERT_NE((*again)->find("dx"), nullptr) << "a name that only starts like the folder stays";
  EXPECT_EQ((*again)->find("top")->sha256, kAbcHash);
  EXPECT_EQ((*again)->find("top")->remote, file.remote);
  EXPECT_EQ((*again)->find("top")->local, file.local);

  TreeEntry local{"top", false, 3, 0, ""};
  local.device = 1, local.inode = 2, local.modifiedNs = 40, local.changedNs = 50;
  TreeEntry remote{"top", false, 3, 0, file.remote.time, "7"};
  EXPECT_EQ((*again)->compare("top", local, remote), Memory::kInStep);
  TreeEntry touched = local;
  touched.changedNs = 51;  // an edit in the same second, or cp -p over it
  EXPECT_EQ((*again)->compare("top", touched, remote), Memory::kChanged);
  TreeEntry overwritten = remote;
  overwritten.rev = "8";  // the same size and second on the service
  EXPECT_EQ((*again)->compare("top", local, overwritten), Memory::kChanged);
  EXPECT_EQ((*again)->compare("new", local, remote), Memory::kUnknown);

  auto other = SyncState::open("/tmp/pair-a", "app:/y");
  ASSERT_TRUE(other.ok());
  EXPECT_EQ((*other)->find("top"), nullptr) << "another remote folder is another pair";
}

TEST(SyncStateTest, AStateOfAnotherSchemaIsRefusedNotMisread) {
  TempDataHome home;
  ASSERT_TRUE(SyncState::open("/tmp/pair-b", "app:/x").ok());
  SqliteStatus status;
  auto db = SqliteDatabase::open(SyncState::fileFor("/tmp/pair-b", "app:/x"), &status);
  ASSERT_TRUE(db);
  ASSERT_TRUE(db->exec("UPDATE meta SET value = '99' WHERE key = 'schema'").ok());
  const auto state = SyncState::open("/tmp/pair-b", "app:/x");
  ASSERT_FALSE(state.ok());
  EXPECT_NE(state.status().message().find("schema 99"), std::string::npos);
}

TEST(DeleteLimitTest, AnEmptiedSourceNeverWipesTheTarget) {
  struct Case {
    const char* limit;
    std::size_t targetFiles;
    std::size_t deleting;
    bool allowed;
  };
  const Case cases[] = {
      {"", 10, 10, true},  // a handful of files: no default limit
      {"", 11, 5, true},   // the default: half
      {"", 11, 6, false},  //
      {"", 1000, 1000, false}, {"3", 1000, 3, true},       {"3", 1000, 4, false},
      {"0", 5, 1, false},      {"100%", 1000, 1000, true}, {"10%", 100, 11, false},
      {"10%", 100, 10, true},  {"ten", 100, 0, false},     {"101%", 100, 0, false},
      {"%", 100, 0, false},    {"-1", 100, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.limit) + " " + std::to_string(c.deleting) + "/" +
                 std::to_string(c.targetFiles));
    const Status status = checkDeleteLimit(c.limit, c.targetFiles, c.deleting);
    EXPECT_EQ(status.ok(), c.allowed) << status.message();
    if (!status.ok()) {
      EXPECT_EQ(status.code(), StatusCode::kInvalidArgument);
    }
  }
}

}  // namespace
}  // namespace nb::cli
