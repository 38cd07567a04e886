// SyncState is what `nb sync` remembers of one pair of folders (a local root
// and a remote root) between runs: per file, the remote size, time and rev as
// last seen, the local file's identity (device, inode, size, modification and
// change times in nanoseconds) and the SHA-256 of the content both sides then
// held. One SQLite file per pair under the data folder, in WAL mode; each run's
// changes are one transaction, so a kill -9 leaves the last run's state or
// this one's, never a mix. The object owns its connection; main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "cli/SyncPlan.h"
#include "cli/TreeListing.h"
#include "nb/Status.h"

namespace nb {
class SqliteDatabase;
}

namespace nb::cli {

// A local file's identity: while all of it is unchanged, so are its bytes.
struct LocalIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  long long modifiedNs = -1;
  long long changedNs = -1;
  bool operator==(const LocalIdentity&) const = default;
};

// A remote file as a listing shows it.
struct RemoteStamp {
  std::uint64_t size = 0;
  std::string time;  // as the service wrote it
  std::string rev;   // empty when the listing gives none
  bool operator==(const RemoteStamp&) const = default;
};

struct FileState {
  RemoteStamp remote;
  LocalIdentity local;
  std::string sha256;  // hex; empty when not known
};

class SyncState {
 public:
  static constexpr int kSchemaVersion = 1;

  // The state of the pair, created empty at its first run. `localRoot` is
  // made absolute; `remoteRoot` is "root:/path".
  static Result<std::unique_ptr<SyncState>> open(const std::string& localRoot,
                                                 const std::string& remoteRoot);
  ~SyncState();

  // The file at `relative` as last synced, or null.
  const FileState* find(const std::string& relative) const;
  // Whether the local and remote copies of `relative` are both as the last
  // run left them (kInStep), one changed (kChanged), or nothing is known.
  Memory compare(const std::string& relative, const TreeEntry& local,
                 const TreeEntry& remote) const;

  static LocalIdentity identityOf(const TreeEntry& local);
  static RemoteStamp stampOf(const TreeEntry& remote);

  // Records `files` (by relative path) and forgets `gone` (a folder's path
  // forgets everything below it too), in one transaction.
  Status save(const std::vector<std::pair<std::string, FileState>>& files,
              const std::vector<std::string>& gone);

  // The database file of a pair (for tests and messages).
  static std::string fileFor(const std::string& localRoot, const std::string& remoteRoot);

 private:
  explicit SyncState(std::unique_ptr<SqliteDatabase> db);
  Status load();
  std::unique_ptr<SqliteDatabase> db_;
  std::unordered_map<std::string, FileState> files_;
};

}  // namespace nb::cli
