#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "nb/Private/FileHelper.h"
#include "tests/support/TemporaryFolder.h"

namespace nb {
namespace {

namespace fs = std::filesystem;

class FileHelperTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(folder_.ok()); }

  static std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  static void write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  test::TemporaryFolder folder_{"nb-filehelper"};
  const fs::path& dir_ = folder_.path();
};

TEST_F(FileHelperTest, CreateFileMakesFoldersAndReplacesContents) {
  // A double slash, as download paths have, and three missing folders.
  const std::string nested = dir_.string() + "/tmp/app//docs/a.txt";
  EXPECT_TRUE(FileHelper::createFile(nested));
  EXPECT_TRUE(fs::is_regular_file(nested));
  EXPECT_EQ(fs::file_size(nested), 0u);

  write(nested, "old contents");
  EXPECT_TRUE(FileHelper::createFile(nested));
  EXPECT_EQ(fs::file_size(nested), 0u);

  // A file where a folder should be: nothing can be created below it.
  write(dir_ / "blocker", "x");
  EXPECT_FALSE(FileHelper::createFile((dir_ / "blocker" / "a.txt").string()));
}

TEST_F(FileHelperTest, DeleteFileRemovesFilesOnly) {
  write(dir_ / "file", "x");
  fs::create_directories(dir_ / "folder" / "inner");
  struct Case {
    const char* name;
    bool expected;
    bool existsAfter;
  } cases[] = {
      {"missing", true, false},
      {"file", true, false},
      {"folder", false, true},  // never removed, with or without contents
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FileHelper::deleteFile((dir_ / c.name).string()), c.expected);
    EXPECT_EQ(fs::exists(dir_ / c.name), c.existsAfter);
  }
}

TEST_F(FileHelperTest, OutputStreamStartsFromAnEmptyFileAndAppends) {
  const std::string path = (dir_ / "sub" / "out.bin").string();
  fs::create_directories(dir_ / "sub");
  write(path, "stale");
  auto stream = FileHelper::outputStreamToFile(path, true);
  ASSERT_TRUE(stream);
  EXPECT_FALSE(stream->isOpen());  // handed out unopened
  EXPECT_EQ(fs::file_size(path), 0u);
  ASSERT_TRUE(stream->open());
  EXPECT_TRUE(stream->write("abc"));
  EXPECT_TRUE(stream->write(std::string(3, '\0')));
  EXPECT_TRUE(stream->isStillAtPath(6));
  EXPECT_FALSE(stream->isStillAtPath(5));
  EXPECT_TRUE(stream->close());
  EXPECT_EQ(contents(path), std::string("abc\0\0\0", 6));
}

TEST_F(FileHelperTest, StreamReportsWriteAndOpenFailures) {
  // /dev/full refuses every write with "no space left on device".
  FileOutputStream full("/dev/full", true);
  ASSERT_TRUE(full.open());
  EXPECT_FALSE(full.write("data"));
  EXPECT_NE(full.streamError().find("/dev/full"), std::string::npos);
  EXPECT_NE(full.streamError().find("space"), std::string::npos) << full.streamError();

  FileOutputStream closed((dir_ / "never-opened").string(), true);
  EXPECT_FALSE(closed.write("x"));

  FileOutputStream missing((dir_ / "no" / "such" / "folder").string(), true);
  EXPECT_FALSE(missing.open());
  EXPECT_FALSE(missing.streamError().empty());
}

TEST_F(FileHelperTest, StreamNoticesItsFileWasRemoved) {
  const std::string path = (dir_ / "f" / "out.bin").string();
  auto stream = FileHelper::outputStreamToFile(path, true);
  ASSERT_TRUE(stream->open());
  ASSERT_TRUE(stream->write("abc"));
  fs::remove_all(dir_ / "f");
  EXPECT_TRUE(stream->write("def"));  // the system accepts writes to an unlinked file
  EXPECT_FALSE(stream->isStillAtPath(6));
}

}  // namespace
}  // namespace nb
