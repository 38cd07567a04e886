// FileTree: each user's folders and files (per root), their versions, copy
// references and shares, in metadata.db. Every change runs in one transaction,
// so a crash never leaves half a move or copy. Borrows the Database; any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "nb/Status.h"
#include "server/BlobStore.h"
#include "server/Database.h"

namespace nb::server {

struct Entry {
  std::string path;  // canonical, "/" for the root folder
  std::string name;
  bool isDir = false;
  std::int64_t size = 0;
  std::string blob;  // files only
  std::int64_t rev = 0;
  std::string fileId;
  std::int64_t created = 0;
  std::int64_t modified = 0;
};

struct Version {
  std::string fileId;
  std::int64_t rev = 0;
  std::int64_t size = 0;
  std::int64_t created = 0;
};

struct Owner {
  std::int64_t userId = 0;
  std::string root;
};

struct ShareRecord {
  std::string id;
  Owner owner;
  std::string path;
  std::string name;
  std::string accessCode;
  std::string fileId;  // the entry shared; the link ends when `path` holds another
};

// What a copy reference hands out: the entry it was made for, wherever it now
// is, and for a file the content it had then.
struct CopySource {
  Owner owner;
  std::string path;
  std::optional<BlobId> content;  // files only
};

// What old content is kept: the newest versions of each file, and the
// versions of a deleted file for a while after its deletion. Older ones are
// pruned, and their blobs removed once no version or live copy reference
// holds them. The quota counts current files only; this bounds the rest.
struct Retention {
  std::int64_t versionsPerFile = 10;
  std::int64_t deletedSeconds = 30 * 24 * 3600;
};

class FileTree {
 public:
  // Pruned blobs are removed from `blobs` (none is removed without it).
  explicit FileTree(Database& db, Retention retention = {}, const BlobStore* blobs = nullptr)
      : db_(db), retention_(retention), blobs_(blobs) {}

  // The root folder "/" always exists.
  std::optional<Entry> find(const Owner& owner, const std::string& path);
  std::vector<Entry> children(const Owner& owner, const std::string& folder);
  std::int64_t usedBytes(std::int64_t userId);

  // Changes answer the entry as it now is (as it was, for remove), or a
  // Status whose message is the service's keyword for the refusal: not found
  // ("file not exist", also for a missing parent), already exists ("file
  // exist"), permission denied ("forbidden"), invalid argument ("bad
  // parameters"), resource exhausted ("over space"), internal ("server error").
  Result<Entry> createFolder(const Owner& owner, const std::string& path);
  // Stores `blob` at `path` as a new version; refuses a clash unless `overwrite`,
  // a folder in the way, a missing parent and going over `quotaTotal`.
  // `place` keeps the blob on disk; it runs once every check has passed, inside
  // the transaction, so a refused upload never leaves its blob behind.
  Result<Entry> putFile(const Owner& owner, const std::string& path, const BlobId& blob,
                        bool overwrite, std::int64_t quotaTotal,
                        const std::function<bool()>& place);
  Result<Entry> remove(const Owner& owner, const std::string& path);
  Result<Entry> move(const Owner& owner, const std::string& from, const std::string& to);
  // `content`, when given, is what the copied file holds instead of its
  // current content (a copy reference's).
  Result<Entry> copy(const Owner& source, const std::string& from, const Owner& target,
                     const std::string& to, std::int64_t quotaTotal,
                     const std::optional<BlobId>& content = std::nullopt);
  // Versions of a file, newest first.
  Result<std::vector<Version>> history(const Owner& owner, const std::string& path);

  std::string createCopyRef(const Owner& owner, const Entry& entry);
  // nullopt when the reference is unknown, has lapsed or its entry is gone.
  std::optional<CopySource> resolveCopyRef(const std::string& ref);
  std::string createShare(const Owner& owner, const Entry& entry, const std::string& name,
                          const std::string& accessCode);
  std::optional<ShareRecord> share(const std::string& id);
  // Counts a wrong access code against a share link, and tells whether the
  // link takes codes now: after kCodeAttempts wrong ones it refuses every code
  // for kCodeLockSeconds; a right one clears the count.
  static constexpr int kCodeAttempts = 5;
  static constexpr std::int64_t kCodeLockSeconds = 300;
  bool shareTakesCodes(const std::string& id);
  void shareCodeTried(const std::string& id, bool right);

  // Prunes every version past the retention, including those of files
  // deleted before deletions were recorded; their blobs are left to a sweep.
  // Run at start.
  Status pruneAll();
  // The blobs that some version (of any user) or live copy reference holds.
  std::unordered_set<std::string> referencedBlobs();

 private:
  std::optional<Entry> findLocked(const Owner& owner, const std::string& path);
  std::vector<Entry> subtreeLocked(const Owner& owner, const std::string& path);
  std::int64_t usedLocked(std::int64_t userId);
  bool insertLocked(const Owner& owner, const Entry& entry);
  std::int64_t addVersionLocked(std::int64_t userId, const std::string& fileId,
                                const std::string& blob, std::int64_t size, std::int64_t time);
  Status placeable(const Owner& owner, const std::string& path);
  // Within a change's transaction: removes the versions past the retention
  // (of `fileId`, when given, and of files deleted long enough ago) and
  // collects their blobs into `freed`.
  bool pruneLocked(const std::string& fileId, std::vector<std::string>* freed);
  // After the commit, under the lock: removes the freed blobs nothing holds.
  void dropUnheldLocked(const std::vector<std::string>& freed);
  Database& db_;
  Retention retention_;
  const BlobStore* blobs_;
};

// "Thu, 10 Dec 2026 11:48:56 +0000"
std::string formatTime(std::int64_t seconds);

}  // namespace nb::server
