#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "nb/platform/SqliteDatabase.h"
#include "tests/support/TemporaryFolder.h"

namespace nb {
namespace {

// Whether another process finds a lock on `path` (the locks SQLite takes
// there say that a connection is open, reading or writing).
bool anotherProcessSeesALock(const std::string& path) {
  const pid_t child = fork();
  if (child == 0) {
    const int fd = ::open(path.c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    _exit(fd >= 0 && fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// POSIX locks belong to the process: closing any descriptor of the file drops
// them all, so a second connection must not open the file by hand.
TEST(SqliteDatabaseTest, OpeningASecondConnectionKeepsTheFirstOnesLocks) {
  for (const auto journal : {SqliteDatabase::Journal::kWal, SqliteDatabase::Journal::kRollback}) {
    test::TemporaryFolder folder("sqlite");
    const std::string path = folder.path().string() + "/locks.db";
    auto first = SqliteDatabase::open(path, nullptr, 0600, journal);
    ASSERT_TRUE(first);
    ASSERT_TRUE(first->exec("CREATE TABLE t (x)").ok());
    ASSERT_TRUE(first->begin().ok());
    ASSERT_TRUE(anotherProcessSeesALock(path));

    auto second = SqliteDatabase::open(path, nullptr, 0600, journal);
    ASSERT_TRUE(second);
    EXPECT_TRUE(anotherProcessSeesALock(path)) << "the first connection lost its locks";
    EXPECT_TRUE(first->commit().ok());
  }
}

TEST(SqliteDatabaseTest, CreatesANewFileWithTheGivenMode) {
  test::TemporaryFolder folder("sqlite");
  const std::string path = folder.path().string() + "/private.db";
  ASSERT_TRUE(SqliteDatabase::open(path, nullptr, 0600));
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace nb
