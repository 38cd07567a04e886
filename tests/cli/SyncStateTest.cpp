// What sync remembers between runs and the safety net of its deletions: the
// state database of a pair, the hash taken from streamed bytes, renames found
// by it, and the limit on what one run may delete.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/sync/ContentHash.h"
#include "cli/sync/DeleteLimit.h"
#include "cli/sync/Renames.h"
#include "cli/sync/SyncState.h"
#include "nb/platform/SqliteDatabase.h"
#include "tests/cli/TreeText.h"
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

// A listing written "d f, f f/a 7" (folder, or file with its inode).
std::vector<TreeEntry> entries(const std::string& text) {
  return test::treeFromText(text, [](std::istream& fields, TreeEntry& entry) {
    fields >> entry.inode;
    entry.size = 1;
  });
}

TEST(RenamesTest, RenamesAreFoundByTheRememberedLocalIdentity) {
  struct Case {
    const char* name;
    const char* local;   // now, with inodes
    const char* remote;  // as last synced; each file's inode remembered
    const char* moves;
    const char* sent;
  };
  const Case cases[] = {
      {"a folder renamed moves whole", "d g, f g/a 1, d g/s, f g/s/b 2, f g/new 3",
       "d f, f f/a 1, d f/s, f f/s/b 2", "f>g", "g/new"},
      {"a file renamed and moved", "d n, f n/x 1", "f x 1", "x>n/x", ""},
      {"a folder split in two moves file by file", "d g, f g/a 1, d h, f h/b 2",
       "d f, f f/a 1, f f/b 2", "f/a>g/a f/b>h/b", ""},
      {"into a folder the target has: file by file", "d g, f g/a 1", "d f, f f/a 1, d g", "f/a>g/a",
       ""},
      {"another inode is another file", "d g, f g/a 9", "d f, f f/a 1", "", "g/a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDataHome home;
    auto state = SyncState::open("/tmp/renames", "app:/r");
    ASSERT_TRUE(state.ok());
    const std::vector<TreeEntry> local = entries(c.local), remote = entries(c.remote);
    std::vector<std::pair<std::string, FileState>> known;
    for (const TreeEntry& entry : remote) {
      if (!entry.folder) known.push_back({entry.relative, {{}, SyncState::identityOf(entry), ""}});
    }
    ASSERT_TRUE((*state)->save(known, {}).ok());
    auto plan = planSync(local, remote, true);
    ASSERT_TRUE(plan.ok());
    std::string moves;
    for (const Rename& rename : findRenames(*plan, **state, local, remote)) {
      moves += (moves.empty() ? "" : " ") + rename.from + ">" + rename.to;
    }
    EXPECT_EQ(moves, c.moves);
    std::string sent;
    for (const std::string& path : plan->transfers) sent += (sent.empty() ? "" : " ") + path;
    EXPECT_EQ(sent, c.sent);
  }
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
