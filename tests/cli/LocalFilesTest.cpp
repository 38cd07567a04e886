// Partial files never outlive their purpose: not on success (renamed), not on
// failure (removed), not on SIGINT/SIGTERM (the handler removes them).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "cli/LocalFiles.h"
#include "tests/support/TemporaryFolder.h"

namespace nb::cli {
namespace {

namespace fs = std::filesystem;

int entries(const fs::path& folder) {
  return static_cast<int>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(LocalFilesTest, PartialFileReplacesTheTargetOnlyOnCommit) {
  test::TemporaryFolder folder("nb-local-files");
  const std::string target = (folder.path() / "t.txt").string();
  std::ofstream(target) << "old";
  {
    auto file = PartialFile::beside(target);
    ASSERT_TRUE(file.ok()) << file.status().toString();
    ASSERT_TRUE((*file)->write("new bytes").ok());
    EXPECT_EQ(entries(folder.path()), 2);
  }  // dropped without commit: removed, target untouched
  EXPECT_EQ(entries(folder.path()), 1);
  std::ifstream old(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(old), {}), "old");

  auto file = PartialFile::beside(target);
  ASSERT_TRUE(file.ok());
  ASSERT_TRUE((*file)->write("new").ok());
  ASSERT_TRUE((*file)->commit(target, 0640).ok());
  file->reset();
  EXPECT_EQ(entries(folder.path()), 1);
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST(LocalFilesTest, DownloadTargetResolvesFoldersAndGuardsReadOnlyFiles) {
  test::TemporaryFolder folder("nb-local-files");
  const fs::path ro = folder.path() / "ro.txt";
  std::ofstream(ro) << "x";
  fs::permissions(ro, fs::perms::owner_read);

  auto inFolder = LocalFiles::downloadTarget(folder.path().string(), "name.bin", false);
  ASSERT_TRUE(inFolder.ok());
  EXPECT_EQ(inFolder->path, (folder.path() / "name.bin").string());

  const auto refused = LocalFiles::downloadTarget(ro.string(), "n", false);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.status().code(), StatusCode::kIOError);
  const auto forced = LocalFiles::downloadTarget(ro.string(), "n", true);
  ASSERT_TRUE(forced.ok());
  EXPECT_EQ(forced->mode, 0400u);

  const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(LocalFiles::writeAll(fd, "x", "to /dev/full").message(),
            "to /dev/full: No space left on device");
  ::close(fd);
}

TEST(LocalFilesTest, InterruptRemovesPartialFilesAndExitsWithTheSignal) {
  for (const int signal : {SIGINT, SIGTERM}) {
    test::TemporaryFolder folder("nb-local-files");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      LocalFiles::removePartialFilesOnInterrupt();
      auto file = PartialFile::beside((folder.path() / "big.bin").string());
      if (!file.ok() || !(*file)->write("partial").ok()) ::_exit(1);
      (void)::write(ready[1], "r", 1);
      for (;;) ::pause();
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_EQ(entries(folder.path()), 1);
    ::kill(child, signal);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
    EXPECT_EQ(entries(folder.path()), 0);
    ::close(ready[0]);
    ::close(ready[1]);
  }
}

}  // namespace
}  // namespace nb::cli
