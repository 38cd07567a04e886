// The maker checks targets and makes partial files ahead, in order, never
// more than it was allowed ahead, and removes what nobody took.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "cli/PartialFileMaker.h"
#include "tests/support/TemporaryFolder.h"

namespace nb::cli {
namespace {

namespace fs = std::filesystem;

int partialFiles(const fs::path& folder) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().find(".nb-") != std::string::npos) ++count;
  }
  return count;
}

TEST(PartialFileMakerTest, MakesFilesAheadInOrderAndRemovesTheOnesNotTaken) {
  test::TemporaryFolder folder("nb-maker");
  const fs::path readOnly = folder.path() / "ro.bin";
  std::ofstream(readOnly) << "kept";
  fs::permissions(readOnly, fs::perms::owner_read);
  std::vector<PartialFileMaker::Entry> entries;
  for (const char* name : {"a.bin", "b.bin", "ro.bin", "c.bin", "d.bin", "e.bin", "f.bin"}) {
    entries.push_back({(folder.path() / name).string(), name});
  }
  const auto handle = FolderHandle::open(folder.path().string(), false);
  ASSERT_TRUE(handle.ok());
  {
    PartialFileMaker maker(entries, *handle, false, 2);
    // Allowed two ahead of nothing taken yet: entries 0 and 1 at most.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_LE(partialFiles(folder.path()), 2);

    PartialFileMaker::Prepared a = maker.take(0);
    ASSERT_TRUE(a.status.ok()) << a.status.toString();
    ASSERT_TRUE(a.file);
    EXPECT_EQ(a.target.path, entries[0].local);
    EXPECT_EQ(fs::path(a.file->path()).parent_path(), folder.path());
    EXPECT_EQ(::write(a.file->fd(), "x", 1), 1);
    ASSERT_TRUE(a.file->commit(a.target.mode, PartialFile::Flush::kLater).ok());

    // A read-only target is refused with the reason, and no file is made for it.
    PartialFileMaker::Prepared refused = maker.take(2);
    EXPECT_FALSE(refused.status.ok());
    EXPECT_NE(refused.status.message().find("read-only"), std::string::npos)
        << refused.status.message();
    EXPECT_FALSE(refused.file);

    // Taken from index 2: at most entries 1, 3 and 4 are waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_LE(partialFiles(folder.path()), 3);
    PartialFileMaker::Prepared d = maker.take(4);
    ASSERT_TRUE(d.status.ok());
    EXPECT_EQ(d.target.path, entries[4].local);
    EXPECT_FALSE(maker.take(4).file);  // once per entry
  }  // entries 1, 3 and perhaps 5 and 6 were made and never taken: removed, as is d's
  EXPECT_EQ(partialFiles(folder.path()), 0);
  std::ifstream kept(readOnly);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "kept");
  EXPECT_TRUE(fs::exists(folder.path() / "a.bin"));
  EXPECT_FALSE(fs::exists(folder.path() / "b.bin"));
}

// However far ahead the maker may go, every entry can be taken, in order or
// skipping some, up to the last (a maker left waiting would hang take()).
TEST(PartialFileMakerTest, EveryEntryCanBeTakenWhateverTheReach) {
  test::TemporaryFolder folder("nb-maker");
  std::vector<PartialFileMaker::Entry> entries;
  for (int i = 0; i < 9; ++i) {
    const std::string name = "f" + std::to_string(i);
    entries.push_back({(folder.path() / name).string(), name});
  }
  const auto handle = FolderHandle::open(folder.path().string(), false);
  ASSERT_TRUE(handle.ok());
  for (const std::size_t ahead : {1, 2, 3, 4, 8, 32}) {
    for (const std::size_t step : {1, 2, 3}) {
      PartialFileMaker maker(entries, *handle, false, ahead);
      for (std::size_t i = 0; i < entries.size(); i += step) {
        // Slow taking lets the maker finish its batch and wait first.
        if (i % 4 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const PartialFileMaker::Prepared made = maker.take(i);
        EXPECT_TRUE(made.file) << "ahead " << ahead << ", step " << step << ", entry " << i;
      }
    }
  }
  EXPECT_EQ(partialFiles(folder.path()), 0);
}

}  // namespace
}  // namespace nb::cli
