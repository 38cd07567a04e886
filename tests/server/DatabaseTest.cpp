// The metadata database while serving: checkpoints run beside the requests,
// and the write-ahead log must not grow without end when commits never pause.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "server/AccountStore.h"
#include "server/Database.h"
#include "tests/support/TemporaryFolder.h"

namespace nb::server {
namespace {

TEST(DatabaseTest, TheLogStaysBoundedWhileCommitsNeverPause) {
  test::TemporaryFolder folder("nbserver-db");
  const std::string path = (folder.path() / "metadata.db").string();
  auto db = Database::open(path);
  ASSERT_TRUE(db.ok()) << db.status().message();
  ASSERT_TRUE((*db)->startCheckpointer().ok());
  AccountStore accounts(**db);
  // Each nonce commits a few pages. Unbounded, 40,000 of them would leave a
  // log of about 400 MB; a checkpoint beside them never finds it wholly copied.
  constexpr int kNonces = 40000;
  for (int i = 0; i < kNonces; ++i) {
    ASSERT_TRUE(accounts.recordNonce("consumer", "nonce-" + std::to_string(i), 600)) << i;
  }
  EXPECT_LT(std::filesystem::file_size(path + "-wal"), 128u << 20);
  EXPECT_FALSE(accounts.recordNonce("consumer", "nonce-0", 600)) << "a used nonce stays used";

  // Everything committed is read back by a connection opened afterwards.
  db->reset();
  auto reopened = Database::open(path);
  ASSERT_TRUE(reopened.ok());
  AccountStore again(**reopened);
  EXPECT_FALSE(again.recordNonce("consumer", "nonce-" + std::to_string(kNonces - 1), 600));
  EXPECT_TRUE(again.recordNonce("consumer", "nonce-new", 600));
}

}  // namespace
}  // namespace nb::server
