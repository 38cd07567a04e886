// The sync plan and the walks that feed it, without a server: which side is
// remote, what is sent and what is deleted, and what a local walk passes over.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/LocalTree.h"
#include "cli/SyncPlan.h"
#include "tests/cli/TreeText.h"
#include "tests/support/TemporaryFolder.h"

namespace nb::cli {
namespace {

namespace fs = std::filesystem;

TEST(SyncPlanTest, TheRemoteSideIsTheMarkedOne) {
  struct Case {
    const char* source;
    const char* target;
    const char* expected;  // "up", "down", or words the usage error holds
  };
  const Case cases[] = {
      {"./photos", "nb:/photos", "up"},
      {"photos", "nb:photos", "up"},
      {"./nb:odd", "nb:/odd", "up"},
      {"nb:/photos", "./photos", "down"},
      {"nb:", "backup", "down"},
      // What once went by whether the source existed locally.
      {"/", "./backup", "give the remote side as nb:/path"},
      {"proj", "backup", "give the remote side as nb:/path"},
      {"./src", "./src2", "give the remote side as nb:/path"},
      {"nb:/a", "nb:b", "both sides are remote"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " " + c.target);
    const auto direction = syncDirection(c.source, c.target);
    const std::string expected = c.expected;
    if (expected == "up" || expected == "down") {
      ASSERT_TRUE(direction.ok()) << direction.status().message();
      EXPECT_EQ(*direction, expected == "up" ? SyncDirection::kUpload : SyncDirection::kDownload);
    } else {
      ASSERT_FALSE(direction.ok());
      EXPECT_EQ(direction.status().code(), StatusCode::kInvalidArgument);
      EXPECT_NE(direction.status().message().find(expected), std::string::npos)
          << direction.status().message();
    }
  }
}

// A listing written "d sub, f sub/a 3 100" (folder, or file with size and time).
std::vector<TreeEntry> tree(const std::string& text) {
  return test::treeFromText(text, test::readSizeAndTime);
}

std::string joined(const std::vector<std::string>& paths) {
  std::string text;
  for (const std::string& path : paths) text += (text.empty() ? "" : " ") + path;
  return text;
}

TEST(SyncPlanTest, SendsWhatIsNewOrChangedAndDeletesOnlyTheTopOfWhatIsGone) {
  struct Case {
    const char* name;
    const char* source;
    const char* target;
    bool deleteExtra;
    const char* folders;
    const char* transfers;
    const char* deletions;
    const char* replaced = "";
  };
  const Case cases[] = {
      {"into an empty target", "d s, f s/a 1 5, f b 2 5", "", true, "s", "s/a b", ""},
      {"nothing changed", "d s, f s/a 1 5", "d s, f s/a 1 5", true, "", "", ""},
      {"size differs", "f a 2 5", "f a 1 9", false, "", "a", ""},
      {"source newer", "f a 1 9", "f a 1 5", false, "", "a", ""},
      {"target newer, same size", "f a 1 5", "f a 1 9", false, "", "", ""},
      {"unknown target time", "f a 1 5", "f a 1 -1", false, "", "a", ""},
      {"a folder where a file goes, kept without --delete", "f a 1 5", "d a, f a/x 1 5", false, "",
       "a", ""},
      {"a folder where a file goes, replaced with --delete", "f a 1 5", "d a", true, "", "a", "",
       "a"},
      {"a file where a folder goes", "d a, f a/x 1 5", "f a 1 5", false, "a", "a/x", "", "a"},
      {"what a replaced folder held goes with it, not as deletions", "f a 1 5, f z 1 5",
       "d a, f a/x 1 5, d a/in, f z 1 5, f gone 1 5", true, "", "a", "gone", "a"},
      {"extras kept without --delete", "f a 1 5", "f a 1 5, f gone 1 5", false, "", "", ""},
      {"a gone folder is deleted once", "f a 1 5",
       "f a 1 5, d old, d old/deep, f old/deep/x 1 5, f old/y 1 5, f z 1 5", true, "", "", "old z"},
      {"a name that only starts like a gone folder", "f old2 1 5", "d old, f old/x 1 5, f old2 1 5",
       true, "", "", "old"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto plan = planSync(tree(c.source), tree(c.target), c.deleteExtra);
    ASSERT_TRUE(plan.ok());
    EXPECT_EQ(joined(plan->folders), c.folders);
    EXPECT_EQ(joined(plan->transfers), c.transfers);
    EXPECT_EQ(joined(plan->deletions), c.deletions);
    EXPECT_EQ(joined(plan->replaced), c.replaced);
  }
}

// What the last run remembers decides over size and time; without a memory
// the two listings decide as before.
TEST(SyncPlanTest, TheLastRunsMemoryDecidesOverSizeAndTime) {
  struct Case {
    const char* name;
    const char* source;
    const char* target;
    Memory memory;
    bool sent;
  };
  const Case cases[] = {
      {"same size and second, an edit seen", "f a 1 5", "f a 1 5", Memory::kChanged, true},
      {"an older copy put in place (cp -p)", "f a 1 3", "f a 1 5", Memory::kChanged, true},
      {"dated in the future, unchanged", "f a 1 99", "f a 1 5", Memory::kInStep, false},
      {"nothing remembered: the newer source", "f a 1 9", "f a 1 5", Memory::kUnknown, true},
      {"nothing remembered: alike", "f a 1 5", "f a 1 5", Memory::kUnknown, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Remembered remembered = [&](const TreeEntry& source, const TreeEntry& target) {
      EXPECT_EQ(source.relative, target.relative);
      return c.memory;
    };
    const auto plan = planSync(tree(c.source), tree(c.target), false, nullptr, remembered);
    ASSERT_TRUE(plan.ok());
    EXPECT_EQ(joined(plan->transfers), c.sent ? "a" : "");
  }
}

TEST(SyncPlanTest, ChecksumComparesOnlyFilesThatLookTheSame) {
  std::vector<std::string> compared;
  const SameContent sameUnlessB = [&](const std::string& relative) -> Result<bool> {
    compared.push_back(relative);
    return relative != "b";
  };
  const auto plan = planSync(tree("f a 1 5, f b 1 5, f c 2 5"), tree("f a 1 5, f b 1 5, f c 1 5"),
                             false, sameUnlessB);
  ASSERT_TRUE(plan.ok());
  EXPECT_EQ(joined(plan->transfers), "b c");
  EXPECT_EQ(joined(compared), "a b") << "c differs in size: no download to compare";

  const SameContent failing = [](const std::string&) -> Result<bool> {
    return Status::network("the comparison's download failed");
  };
  EXPECT_EQ(planSync(tree("f a 1 5"), tree("f a 1 5"), true, failing).status().code(),
            StatusCode::kNetwork);
}

TEST(SyncPlanTest, StorableNames) {
  struct Case {
    std::string name;
    bool storable;
  };
  const Case cases[] = {
      {"plain.txt", true},
      {"ünï cødé – 日本", true},
      {std::string(255, 'n'), true},
      {std::string(256, 'n'), false},
      {"", false},
      {".", false},
      {"..", false},
      {"a\x7f", false},
      {"a\x1b[2J", false},
      {"a\nb", false},
      {"a\\b", false},
      {"a/b", false},
      {"\xff\xfe", false},
      {"caf\xc3", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(storableName(c.name), c.storable) << c.name;
  }
}

TEST(LocalTreeTest, WalksInOrderAndPassesOverWhatCannotGo) {
  test::TemporaryFolder folder("nb-local-tree");
  const fs::path root = folder.path() / "t";
  fs::create_directories(root / "a" / "b");
  fs::create_directories(root / "empty");
  std::ofstream(root / "a" / "b" / "deep.txt") << "deep";
  std::ofstream(root / "a" / "one.txt") << "1";
  std::ofstream(root / "z.txt") << "zz";
  fs::create_symlink("a", root / "link");
  fs::create_symlink("/etc", root / "a" / "outside");
  ASSERT_EQ(::mkfifo((root / "pipe").c_str(), 0600), 0);
  for (const char* bad : {"del\x7f", "bad\xff", "back\\slash"}) std::ofstream(root / bad) << "x";
  // A download's hidden partial files, and names that only look alike.
  std::ofstream(root / "a" / ".one.txt.nb-Ab12Cd") << "partial";
  std::ofstream(root / ".z.txt.nb-1") << "mine";

  const TreeListing listing = LocalTree::walk(root.string(), {});
  std::string entries;
  for (const TreeEntry& entry : listing.entries) {
    entries += entry.relative + (entry.folder ? "/" : ":" + std::to_string(entry.size)) + " ";
  }
  EXPECT_EQ(entries, ".z.txt.nb-1:4 a/ a/b/ a/b/deep.txt:4 a/one.txt:1 empty/ z.txt:2 ");
  ASSERT_EQ(listing.partials.size(), 1u);
  EXPECT_EQ(listing.partials[0], "a/.one.txt.nb-Ab12Cd");
  std::string skipped;
  for (const Skip& skip : listing.skipped) {
    skipped += skip.path.substr(root.string().size() + 1) + ": " + skip.reason + "\n";
  }
  EXPECT_EQ(skipped,
            "a/outside: a symbolic link\n"
            "back\\slash: a name the service cannot store\n"
            "bad\xff: a name the service cannot store\n"
            "del\x7f: a name the service cannot store\n"
            "link: a symbolic link\n"
            "pipe: a special file (device, pipe or socket)\n");
  EXPECT_TRUE(listing.errors.empty());

  const TreeListing missing = LocalTree::walk((root / "nowhere").string(), {});
  ASSERT_EQ(missing.errors.size(), 1u);
  EXPECT_EQ(missing.errors[0].status.code(), StatusCode::kIOError);
}

TEST(LocalTreeTest, PseudoFileSystemsAreNeverWalked) {
  test::TemporaryFolder folder("nb-local-tree");
  struct Case {
    std::string path;
    const char* type;  // "" for a folder of ordinary files
  };
  const Case cases[] = {{"/proc", "proc"}, {"/sys", "sysfs"}, {folder.path().string(), ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const int fd = ::open(c.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(LocalTree::pseudoFileSystem(fd), c.type);
    ::close(fd);
    if (*c.type == '\0') continue;
    const TreeListing listing = LocalTree::walk(c.path, {});
    EXPECT_TRUE(listing.entries.empty());
    ASSERT_EQ(listing.skipped.size(), 1u);
    EXPECT_EQ(listing.skipped[0].reason,
              std::string("a pseudo file system (") + c.type + "), not walked");
  }
}

}  // namespace
}  // namespace nb::cli
