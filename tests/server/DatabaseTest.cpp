// The metadata database while serving: checkpoints run beside the requests,
// and the write-ahead log must not grow without end when commits never pause.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "nb/Private/SignatureHelper.h"
#include "nb/platform/SqliteDatabase.h"
#include "server/AccountStore.h"
#include "server/Database.h"
#include "server/FileTree.h"
#include "server/OAuthVerifier.h"
#include "tests/support/TemporaryFolder.h"

namespace nb::server {
namespace {

constexpr std::int64_t kQuota = 1 << 20;

// Whether the nonce was fresh; nullopt when it could not be recorded.
std::optional<bool> fresh(AccountStore& accounts, const std::string& nonce) {
  const auto recorded = accounts.recordNonce("consumer", nonce, 600);
  return recorded.ok() ? std::optional<bool>(*recorded) : std::nullopt;
}

// Stores a blob of `size` bytes (its content is not read) at `file`.
bool put(FileTree& tree, const Owner& owner, const std::string& file, std::int64_t size,
         bool overwrite) {
  return tree
      .putFile(owner, file, BlobId{std::string(64, 'a'), size}, overwrite, kQuota,
               [] { return true; })
      .ok();
}

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
    ASSERT_EQ(fresh(accounts, "nonce-" + std::to_string(i)), true) << i;
  }
  EXPECT_LT(std::filesystem::file_size(path + "-wal"), 128u << 20);
  EXPECT_EQ(fresh(accounts, "nonce-0"), false) << "a used nonce stays used";

  // Everything committed is read back by a connection opened afterwards.
  db->reset();
  auto reopened = Database::open(path);
  ASSERT_TRUE(reopened.ok());
  AccountStore again(**reopened);
  EXPECT_EQ(fresh(again, "nonce-" + std::to_string(kNonces - 1)), false);
  EXPECT_EQ(fresh(again, "nonce-new"), true);
}

// A disk that fills up (here the database held to the pages it has) refuses
// signed calls as a server error, never as a replay, and spends no nonce: the
// same request is accepted once there is room again.
TEST(DatabaseTest, AFullDiskIsAServerErrorNotAReusedNonce) {
  test::TemporaryFolder folder("nbserver-db");
  auto db = Database::open((folder.path() / "metadata.db").string());
  ASSERT_TRUE(db.ok()) << db.status().message();
  AccountStore accounts(**db);
  OAuthVerifier verifier(accounts);
  const ConsumerPair consumer = accounts.devConsumer();
  const auto signedCall = [&] {
    const std::string url = SignatureHelper::getSignatureUrlString(
        "http://api.nimbus.test/1/account_info", "GET", NBConsumer(consumer.key, consumer.secret),
        nullptr, nullptr);
    return SignedRequest{"GET", "http", "api.nimbus.test", url.substr(url.find("/1/")), ""};
  };
  ASSERT_EQ(verifier.verify(signedCall()).status, 200);

  SqliteDatabase& sql = (*db)->sql();
  auto pages = sql.prepare("PRAGMA page_count", nullptr);
  ASSERT_TRUE(pages->step());
  ASSERT_TRUE(sql.exec("PRAGMA max_page_count=" + std::to_string(pages->int64(0))).ok());
  // Each store fills the room its own pages have left.
  Result<bool> recorded = true;
  for (int i = 0; i < 100000 && recorded.ok(); ++i) {
    recorded = accounts.recordNonce("filler", "nonce-" + std::to_string(i), 600);
  }
  ASSERT_FALSE(recorded.ok()) << "the database never filled up";
  EXPECT_EQ(recorded.status().code(), StatusCode::kResourceExhausted);
  Result<TokenRecord> token = accounts.issueToken(consumer.key, std::nullopt, false);
  for (int i = 0; i < 100000 && token.ok(); ++i) {
    token = accounts.issueToken(consumer.key, std::nullopt, false);
  }
  EXPECT_EQ(token.status().code(), StatusCode::kResourceExhausted)
      << "no token is handed out unstored";

  const SignedRequest request = signedCall();
  const OAuthOutcome full = verifier.verify(request);
  EXPECT_EQ(full.status, 507);
  EXPECT_EQ(full.keyword, "server error");

  ASSERT_TRUE(sql.exec("PRAGMA max_page_count=1000000").ok());
  EXPECT_EQ(verifier.verify(request).status, 200) << "the refused request spent no nonce";
  EXPECT_EQ(verifier.verify(request).keyword, "reused nonce");
  EXPECT_TRUE(accounts.issueToken(consumer.key, std::nullopt, false).ok());
}

// A user's bytes in use are kept beside the entries instead of summed for each
// upload's quota check: every kind of change must move them, and an opening
// sums them afresh (a file from before they were kept, or changed behind the
// emulator's back).
TEST(DatabaseTest, UsedBytesFollowEveryChangeAndAreSummedAtOpening) {
  test::TemporaryFolder folder("nbserver-db");
  const std::string path = (folder.path() / "metadata.db").string();
  auto db = Database::open(path);
  ASSERT_TRUE(db.ok()) << db.status().message();
  FileTree tree(**db);
  const Owner alice{1, "app"}, aliceSandbox{1, "sandbox"}, bob{2, "app"};
  const auto overwrite = [&](const Owner& owner, const std::string& file, std::int64_t size) {
    return put(tree, owner, file, size, true);
  };
  struct Step {
    const char* what;
    std::function<bool()> change;
    std::int64_t alice, bob;
  } steps[] = {
      {"a folder", [&] { return tree.createFolder(alice, "/f").ok(); }, 0, 0},
      {"a file", [&] { return overwrite(alice, "/f/a", 300); }, 300, 0},
      {"another root", [&] { return overwrite(aliceSandbox, "/b", 50); }, 350, 0},
      {"another user", [&] { return overwrite(bob, "/c", 7); }, 350, 7},
      {"an overwrite", [&] { return overwrite(alice, "/f/a", 100); }, 150, 7},
      {"a copy", [&] { return tree.copy(alice, "/f", alice, "/g", kQuota).ok(); }, 250, 7},
      {"a copy to another user", [&] { return tree.copy(alice, "/g/a", bob, "/d", kQuota).ok(); },
       250, 107},
      {"a move", [&] { return tree.move(alice, "/g", "/h").ok(); }, 250, 107},
      {"a folder removed", [&] { return tree.remove(alice, "/f").ok(); }, 150, 107},
      {"over the quota", [&] { return !overwrite(bob, "/e", kQuota); }, 150, 107},
  };
  for (const Step& step : steps) {
    ASSERT_TRUE(step.change()) << step.what;
    EXPECT_EQ(tree.usedBytes(1), step.alice) << step.what;
    EXPECT_EQ(tree.usedBytes(2), step.bob) << step.what;
  }
  EXPECT_EQ(tree.usedBytes(3), 0) << "a user without files";

  // Counts that went wrong while closed are summed again at the next opening.
  db->reset();
  {
    SqliteStatus status;
    auto raw = SqliteDatabase::open(path, &status);
    ASSERT_TRUE(raw) << status.message;
    ASSERT_TRUE(raw->exec("UPDATE usage SET bytes = 99999 WHERE user_id = 1; "
                          "DELETE FROM usage WHERE user_id = 2")
                    .ok());
  }
  auto reopened = Database::open(path);
  ASSERT_TRUE(reopened.ok()) << reopened.status().message();
  FileTree again(**reopened);
  EXPECT_EQ(again.usedBytes(1), 150);
  EXPECT_EQ(again.usedBytes(2), 107);
}

// Folder changes find a folder's contents by a range of the path index: the
// entries beside it whose names begin with its own (the range holds "/a b",
// "/a-1" and "/a.txt" beside "/a") must stay as they are.
TEST(DatabaseTest, FolderChangesLeaveEntriesWithTheSameBeginningAlone) {
  test::TemporaryFolder folder("nbserver-db");
  auto db = Database::open((folder.path() / "metadata.db").string());
  ASSERT_TRUE(db.ok()) << db.status().message();
  FileTree tree(**db);
  const Owner owner{1, "app"};
  ASSERT_TRUE(tree.createFolder(owner, "/a").ok());
  ASSERT_TRUE(tree.createFolder(owner, "/a/b").ok());
  ASSERT_TRUE(put(tree, owner, "/a/b/c", 1, false));
  ASSERT_TRUE(put(tree, owner, "/a b", 10, false));
  ASSERT_TRUE(put(tree, owner, "/a-1", 100, false));
  ASSERT_TRUE(put(tree, owner, "/a.txt", 1000, false));
  ASSERT_TRUE(put(tree, owner, "/ab", 10000, false));
  const auto siblingsStay = [&](const char* what) {
    for (const char* path : {"/a b", "/a-1", "/a.txt", "/ab"}) {
      EXPECT_TRUE(tree.find(owner, path)) << what << ": " << path;
    }
  };

  ASSERT_TRUE(tree.copy(owner, "/a", owner, "/z", kQuota).ok());
  EXPECT_TRUE(tree.find(owner, "/z/b/c"));
  EXPECT_EQ(tree.usedBytes(1), 11112);
  EXPECT_FALSE(tree.find(owner, "/z.txt"));
  siblingsStay("copy");

  ASSERT_TRUE(tree.move(owner, "/a", "/m").ok());
  EXPECT_TRUE(tree.find(owner, "/m/b/c"));
  EXPECT_FALSE(tree.find(owner, "/a/b/c"));
  EXPECT_FALSE(tree.find(owner, "/a"));
  siblingsStay("move");

  ASSERT_TRUE(tree.remove(owner, "/m").ok());
  EXPECT_FALSE(tree.find(owner, "/m/b"));
  EXPECT_EQ(tree.usedBytes(1), 11111);
  ASSERT_TRUE(tree.remove(owner, "/z").ok());
  EXPECT_EQ(tree.usedBytes(1), 11110);
  siblingsStay("remove");
}

}  // namespace
}  // namespace nb::server
