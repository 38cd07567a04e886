// Partial files never outlive their purpose: not on success (renamed), not on
// failure (removed), not on SIGINT/SIGTERM (the handler removes them).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "cli/LocalFiles.h"
#include "tests/support/TemporaryFolder.h"

namespace nb::cli {
namespace {

namespace fs = std::filesystem;

int entries(const fs::path& folder) {
  return static_cast<int>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

// Forks a child that installs the interrupt clean-up, runs `setUp` and then
// waits for a signal. Returns the child once `setUp` is done, or -1 when the
// child could not be started or ended first.
pid_t startInterruptibleChild(const std::function<void()>& setUp) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    LocalFiles::removePartialFilesOnInterrupt();
    setUp();
    (void)::write(ready[1], "r", 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);  // so that a child that ends early gives end-of-file
  char byte = 0;
  const bool started = child > 0 && ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  return started ? child : -1;
}

// Sends `signal` to `child` and returns its exit code, or -1 when it did not exit.
int exitCodeAfter(pid_t child, int signal) {
  ::kill(child, signal);
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
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
  ASSERT_TRUE((*file)->commit(0640).ok());
  file->reset();
  EXPECT_EQ(entries(folder.path()), 1);
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// A partial file is never more open than the mode asked for, and commit()
// leaves the target with exactly the mode it is given, whatever the umask took.
TEST(LocalFilesTest, PartialFileTakesTheTargetsModeWithoutWideningIt) {
  test::TemporaryFolder folder("nb-local-files");
  const mode_t mask = ::umask(0);
  ::umask(mask);
  struct Case {
    mode_t made;       // asked for at creation
    mode_t committed;  // given to commit()
  };
  for (const Case c :
       {Case{0600, 0600}, Case{0640, 0640}, Case{0666, 0666}, Case{0600, 0644}, Case{0400, 0400}}) {
    const std::string target = (folder.path() / "m.bin").string();
    auto file = PartialFile::beside(target, c.made);
    ASSERT_TRUE(file.ok()) << file.status().toString();
    struct stat info {};
    ASSERT_EQ(::fstat((*file)->fd(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, c.made & ~mask) << std::oct << c.made;
    ASSERT_TRUE((*file)->write("bytes").ok());  // writable even when made read-only
    ASSERT_TRUE((*file)->commit(c.committed).ok());
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, c.committed) << std::oct << c.made << " " << c.committed;
    fs::remove(target);
  }
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

  // Links are followed: to a file, that file is replaced; to a folder, the
  // name goes inside it; a missing file is new with the default mode.
  const fs::path sub = folder.path() / "sub";
  fs::create_directory(sub);
  std::ofstream(sub / "real.txt") << "x";
  fs::permissions(sub / "real.txt", fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink(sub / "real.txt", folder.path() / "to-file");
  fs::create_symlink(sub, folder.path() / "to-folder");
  const auto viaFile = LocalFiles::downloadTarget((folder.path() / "to-file").string(), "n", false);
  ASSERT_TRUE(viaFile.ok());
  EXPECT_EQ(viaFile->path, fs::canonical(sub / "real.txt").string());
  EXPECT_EQ(viaFile->mode, 0600u);
  const auto viaFolder =
      LocalFiles::downloadTarget((folder.path() / "to-folder").string(), "n.bin", false);
  ASSERT_TRUE(viaFolder.ok());
  EXPECT_EQ(fs::path(viaFolder->path).filename(), "n.bin");
  EXPECT_EQ(fs::canonical(fs::path(viaFolder->path).parent_path()), fs::canonical(sub));
  const auto missing = LocalFiles::downloadTarget((sub / "new.bin").string(), "n", false);
  ASSERT_TRUE(missing.ok());
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(missing->mode, 0666 & ~mask);
  EXPECT_FALSE(LocalFiles::downloadTarget((sub / "real.txt" / "x").string(), "n", false).ok());

  const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(LocalFiles::writeAll(fd, "x", "to /dev/full").message(),
            "to /dev/full: No space left on device");
  ::close(fd);
}

// Below a folder's handle nothing is reached through a link, and what is in
// the way is named; nothing outside the folder is made.
TEST(LocalFilesTest, PathsBelowAFolderNeverGoThroughALink) {
  test::TemporaryFolder folder("nb-local-files");
  const fs::path base = folder.path() / "base", outside = folder.path() / "outside";
  fs::create_directories(base / "deep" / "a");
  fs::create_directories(outside);
  std::ofstream(base / "file") << "x";
  fs::create_directory_symlink(outside, base / "sub");
  fs::create_directory_symlink(outside, base / "deep" / "lnk");
  fs::create_directory_symlink(base / "deep", folder.path() / "named-link");
  const auto handle = FolderHandle::open(base.string(), false);
  ASSERT_TRUE(handle.ok()) << handle.status().toString();
  struct Case {
    const char* relative;
    bool create;
    const char* failure;  // in the message; null: opened
  };
  for (const Case c :
       {Case{"deep/a", false, nullptr}, Case{"", false, nullptr}, Case{"new/x/y", true, nullptr},
        Case{"sub", false, "a symbolic link"}, Case{"sub/x", true, "a symbolic link"},
        Case{"deep/lnk/y", true, "a symbolic link"}, Case{"file/x", true, "a file is in the way"},
        Case{"../outside", true, "not a path below"}, Case{"missing", false, "No such file"}}) {
    const auto below = (*handle)->below(c.relative, c.create);
    if (c.failure == nullptr) {
      ASSERT_TRUE(below.ok()) << c.relative << ": " << below.status().toString();
      struct stat opened {
      }, expected{};
      ASSERT_EQ(::fstat((*below)->fd(), &opened), 0);
      ASSERT_EQ(::lstat((base / c.relative).c_str(), &expected), 0);
      EXPECT_EQ(opened.st_ino, expected.st_ino) << c.relative;
    } else {
      ASSERT_FALSE(below.ok()) << c.relative;
      EXPECT_NE(below.status().message().find(c.failure), std::string::npos)
          << c.relative << ": " << below.status().message();
    }
  }
  EXPECT_EQ(entries(outside), 0) << "nothing made through a link";
  // The folder itself is the user's to name: a link to it is followed.
  EXPECT_TRUE(FolderHandle::open((folder.path() / "named-link").string(), false).ok());
}

// A target below a folder is refused, and left as it is, when a link or a
// folder stands where the file would go.
TEST(LocalFilesTest, ATargetBelowAFolderIsNeverALinkOrAFolder) {
  test::TemporaryFolder folder("nb-local-files");
  const fs::path outside = folder.path() / "victim.txt";
  std::ofstream(outside) << "victim";
  std::ofstream(folder.path() / "plain") << "x";
  fs::create_directory(folder.path() / "dir");
  fs::create_symlink(outside, folder.path() / "link");
  fs::create_symlink(folder.path() / "nowhere", folder.path() / "dangling");
  ASSERT_EQ(::mkfifo((folder.path() / "fifo").c_str(), 0600), 0);
  const auto handle = FolderHandle::open(folder.path().string(), false);
  ASSERT_TRUE(handle.ok());
  struct Case {
    const char* name;
    const char* failure;  // null: accepted
  };
  for (const Case c : {Case{"absent", nullptr}, Case{"plain", nullptr},
                       Case{"link", "a symbolic link is in the way"},
                       Case{"dangling", "a symbolic link is in the way"},
                       Case{"dir", "a folder is in the way"}, Case{"fifo", "not a regular file"}}) {
    const auto target = LocalFiles::targetIn(*handle, c.name, c.name, false);
    if (c.failure == nullptr) {
      ASSERT_TRUE(target.ok()) << c.name << ": " << target.status().toString();
      auto file = PartialFile::in(target->folder, target->name, target->mode);
      ASSERT_TRUE(file.ok());
      ASSERT_TRUE((*file)->write("new").ok());
      ASSERT_TRUE((*file)->commit(target->mode).ok());
      std::ifstream written(folder.path() / c.name);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), "new");
    } else {
      ASSERT_FALSE(target.ok()) << c.name;
      EXPECT_NE(target.status().message().find(c.failure), std::string::npos)
          << target.status().message();
    }
  }
  std::ifstream victim(outside);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(victim), {}), "victim");
  EXPECT_FALSE(fs::exists(folder.path() / "nowhere"));
}

// A crashed run's partial files of a target go when the target is written
// again; a living writer's file (locked) and other targets' files stay, and
// writers of one target at once never remove each other's files.
TEST(LocalFilesTest, StalePartialFilesGoButNeverALivingWritersFile) {
  test::TemporaryFolder folder("nb-local-files");
  const std::string target = (folder.path() / "t.txt").string();
  std::ofstream(folder.path() / ".t.txt.nb-crash1") << "left by a crash";
  std::ofstream(folder.path() / ".other.nb-crash2") << "another target's";
  std::ofstream(folder.path() / ".t.txt.nb-long-suffix") << "not a partial file's name";
  auto living = PartialFile::beside(target);
  ASSERT_TRUE(living.ok());
  EXPECT_FALSE(fs::exists(folder.path() / ".t.txt.nb-crash1"));
  auto second = PartialFile::beside(target);
  ASSERT_TRUE(second.ok());
  EXPECT_TRUE(fs::exists((*living)->path())) << "a living writer's file stays";
  EXPECT_TRUE(fs::exists(folder.path() / ".other.nb-crash2"));
  EXPECT_TRUE(fs::exists(folder.path() / ".t.txt.nb-long-suffix"));

  std::atomic<int> lost{0};
  auto write = [&] {
    for (int i = 0; i < 300; ++i) {
      auto file = PartialFile::beside(target);
      if (!file.ok()) return lost.fetch_add(1000);
      struct stat info {};
      if (::fstat((*file)->fd(), &info) != 0 || info.st_nlink == 0) lost.fetch_add(1);
      if (!(*file)->commit(0600).ok()) lost.fetch_add(1);
    }
    return 0;
  };
  std::thread other(write);
  write();
  other.join();
  EXPECT_EQ(lost.load(), 0);
}

TEST(LocalFilesTest, InterruptRemovesPartialFilesAndExitsWithTheSignal) {
  for (const int signal : {SIGINT, SIGTERM}) {
    test::TemporaryFolder folder("nb-local-files");
    const pid_t child = startInterruptibleChild([&folder] {
      // Kept until the signal: the child never returns from its wait.
      static std::unique_ptr<PartialFile> kept;
      auto file = PartialFile::beside((folder.path() / "big.bin").string());
      if (!file.ok() || !(*file)->write("partial").ok()) ::_exit(1);
      kept = std::move(*file);
    });
    ASSERT_GT(child, 0);
    EXPECT_EQ(entries(folder.path()), 1);
    EXPECT_EQ(exitCodeAfter(child, signal), 128 + signal);
    EXPECT_EQ(entries(folder.path()), 0);
  }
}

// Partial files made on several threads at once are all removed by an
// interrupt, including one whose thread is between making it and listing it
// for removal when the signal comes.
TEST(LocalFilesTest, InterruptRemovesPartialFilesMadeOnEveryThread) {
  for (int round = 0; round < 20; ++round) {
    test::TemporaryFolder folder("nb-local-files");
    const pid_t child = startInterruptibleChild([&folder] {
      // Each thread keeps its last few files and makes new ones without pause.
      auto churn = [target = (folder.path() / "f.bin").string()] {
        std::vector<std::unique_ptr<PartialFile>> kept(4);
        for (std::size_t i = 0;; ++i) {
          auto file = PartialFile::beside(target);
          if (!file.ok()) ::_exit(1);
          kept[i % kept.size()] = std::move(*file);
        }
      };
      std::thread(churn).detach();
      std::thread(churn).detach();
    });
    ASSERT_GT(child, 0);
    ::usleep(static_cast<useconds_t>(2000 + round * 300));
    EXPECT_EQ(exitCodeAfter(child, SIGTERM), 128 + SIGTERM);
    EXPECT_EQ(entries(folder.path()), 0) << "round " << round;
  }
}

}  // namespace
}  // namespace nb::cli
