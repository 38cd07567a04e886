#include "server/FileTree.h"

#include <ctime>

#include "server/AccountStore.h"
#include "server/Secrets.h"
#include "server/StoragePath.h"

namespace nb::server {
namespace {

constexpr const char* kColumns =
    "SELECT path, name, is_dir, size, blob, rev, file_id, created, modified FROM entries ";
constexpr std::int64_t kCopyRefLifetime = 30LL * 24 * 3600;
// The entries of user ?1 and root ?2 at path ?3 and under it. The range on the
// path (every path that begins with ?3 sorts between ?3 and ?3 followed by
// '0', the byte after '/') lets SQLite read only that stretch of the
// (user_id, root, path) index instead of all the user's entries; the test
// after it drops the siblings in that stretch ("/a.txt" beside "/a").
constexpr const char* kSubtree =
    "WHERE user_id = ?1 AND root = ?2 AND path >= ?3 AND path < ?3 || '0' AND "
    "(path = ?3 OR substr(path, 1, length(?3) + 1) = ?3 || '/')";

Entry readEntry(const SqliteStatement& st) {
  return Entry{st.text(0),  st.text(1),  st.int64(2) != 0, st.int64(3), st.text(4),
               st.int64(5), st.text(6), st.int64(7),      st.int64(8)};
}

// Refusals carry the service keyword that names their cause.
Status notFound() { return Status::notFound("file not exist"); }
Status parentMissing() { return Status::notFound("file not exist"); }
Status exists() { return Status::alreadyExists("file exist"); }
Status forbidden() { return Status::permissionDenied("forbidden"); }
Status notAFile() { return Status::invalidArgument("bad parameters"); }
Status overSpace() { return Status::resourceExhausted("over space"); }
Status failed() { return Status::internal("server error"); }

Entry rootFolder() {
  Entry root;
  root.path = "/";
  root.isDir = true;
  root.fileId = "root";
  return root;
}

}  // namespace

std::string formatTime(std::int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &tm);
  return text;
}

std::optional<Entry> FileTree::findLocked(const Owner& owner, const std::string& path) {
  if (path == "/") return rootFolder();
  auto st = db_.statement(std::string(kColumns) + "WHERE user_id = ? AND root = ? AND path = ?");
  st->bind(1, owner.userId);
  st->bind(2, owner.root);
  st->bind(3, path);
  if (!st->step()) return std::nullopt;
  return readEntry(*st);
}

std::optional<Entry> FileTree::find(const Owner& owner, const std::string& path) {
  auto guard = db_.lock();
  return findLocked(owner, path);
}

std::vector<Entry> FileTree::children(const Owner& owner, const std::string& folder) {
  auto guard = db_.lock();
  auto st = db_.statement(std::string(kColumns) + "WHERE user_id = ? AND root = ? AND parent = ?");
  st->bind(1, owner.userId);
  st->bind(2, owner.root);
  st->bind(3, folder);
  std::vector<Entry> entries;
  while (st->step()) entries.push_back(readEntry(*st));
  return entries;
}

std::vector<Entry> FileTree::subtreeLocked(const Owner& owner, const std::string& path) {
  std::vector<Entry> entries;
  if (path == "/") {
    auto all = db_.statement(std::string(kColumns) +
                             "WHERE user_id = ? AND root = ? ORDER BY length(path)");
    all->bind(1, owner.userId);
    all->bind(2, owner.root);
    while (all->step()) entries.push_back(readEntry(*all));
    return entries;
  }
  auto st = db_.statement(std::string(kColumns) + kSubtree + " ORDER BY length(path)");
  st->bind(1, owner.userId);
  st->bind(2, owner.root);
  st->bind(3, path);
  while (st->step()) entries.push_back(readEntry(*st));
  return entries;
}

std::int64_t FileTree::usedLocked(std::int64_t userId) {
  auto st = db_.statement("SELECT bytes FROM usage WHERE user_id = ?");
  st->bind(1, userId);
  return st->step() ? st->int64(0) : 0;
}

std::int64_t FileTree::usedBytes(std::int64_t userId) {
  auto guard = db_.lock();
  return usedLocked(userId);
}

bool FileTree::insertLocked(const Owner& owner, const Entry& e) {
  auto st = db_.statement(
      "INSERT INTO entries(user_id, root, path, parent, name, is_dir, size, blob, rev, file_id, "
      "created, modified) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  st->bind(1, owner.userId);
  st->bind(2, owner.root);
  st->bind(3, e.path);
  st->bind(4, StoragePath::parent(e.path));
  st->bind(5, e.name);
  st->bind(6, std::int64_t{e.isDir ? 1 : 0});
  st->bind(7, e.size);
  if (e.isDir) {
    st->bindNull(8);
  } else {
    st->bind(8, e.blob);
  }
  st->bind(9, e.rev);
  st->bind(10, e.fileId);
  st->bind(11, e.created);
  st->bind(12, e.modified);
  st->step();
  return st->status().ok();
}

std::int64_t FileTree::addVersionLocked(std::int64_t userId, const std::string& fileId,
                                        const std::string& blob, std::int64_t size,
                                        std::int64_t time) {
  auto st = db_.statement(
      "INSERT INTO versions(file_id, user_id, blob, size, created) VALUES(?, ?, ?, ?, ?)");
  st->bind(1, fileId);
  st->bind(2, userId);
  st->bind(3, blob);
  st->bind(4, size);
  st->bind(5, time);
  st->step();
  return st->status().ok() ? db_.sql().lastInsertRowId() : 0;
}

// Whether a new entry may appear at `path`: the parent must be a folder and
// the name free.
Status FileTree::placeable(const Owner& owner, const std::string& path) {
  if (path == "/") return exists();
  const auto parent = findLocked(owner, StoragePath::parent(path));
  if (!parent || !parent->isDir) return parentMissing();
  if (findLocked(owner, path)) return exists();
  return Status::OK();
}

Result<Entry> FileTree::createFolder(const Owner& owner, const std::string& path) {
  auto guard = db_.lock();
  Transaction tx(db_.sql());
  if (!tx.begun()) return failed();
  if (auto status = placeable(owner, path); !status.ok()) return status;
  const std::int64_t now = nowSeconds();
  Entry e{path, StoragePath::name(path), true, 0, "", 0, Secrets::randomHex(8), now, now};
  if (!insertLocked(owner, e) || !tx.commit()) return failed();
  return e;
}

Result<Entry> FileTree::putFile(const Owner& owner, const std::string& path, const BlobId& blob,
                                bool overwrite, std::int64_t quotaTotal,
                                const std::function<bool()>& place) {
  auto guard = db_.lock();
  Transaction tx(db_.sql());
  if (!tx.begun()) return failed();
  if (path == "/") return exists();
  const auto parent = findLocked(owner, StoragePath::parent(path));
  if (!parent || !parent->isDir) return parentMissing();
  const auto existing = findLocked(owner, path);
  if (existing && (existing->isDir || !overwrite)) return exists();
  const std::int64_t freed = existing ? existing->size : 0;
  if (usedLocked(owner.userId) - freed + blob.size > quotaTotal) return overSpace();

  const std::int64_t now = nowSeconds();
  Entry e = existing ? *existing
                     : Entry{path, StoragePath::name(path), false, 0, "", 0,
                             Secrets::randomHex(8), now, now};
  e.size = blob.size;
  e.blob = blob.hash;
  e.modified = now;
  e.rev = addVersionLocked(owner.userId, e.fileId, blob.hash, blob.size, now);
  if (e.rev == 0) return failed();
  if (existing) {
    auto st = db_.statement(
        "UPDATE entries SET size = ?, blob = ?, rev = ?, modified = ? "
        "WHERE user_id = ? AND root = ? AND path = ?");
    st->bind(1, e.size);
    st->bind(2, e.blob);
    st->bind(3, e.rev);
    st->bind(4, e.modified);
    st->bind(5, owner.userId);
    st->bind(6, owner.root);
    st->bind(7, path);
    st->step();
    if (!st->status().ok()) return failed();
  } else if (!insertLocked(owner, e)) {
    return failed();
  }
  std::vector<std::string> pruned;
  if (!pruneLocked(e.fileId, &pruned) || !place() || !tx.commit()) return failed();
  dropUnheldLocked(pruned);
  return e;
}

Result<Entry> FileTree::remove(const Owner& owner, const std::string& path) {
  if (path == "/") return forbidden();
  auto guard = db_.lock();
  Transaction tx(db_.sql());
  if (!tx.begun()) return failed();
  const auto existing = findLocked(owner, path);
  if (!existing) return notFound();
  // The files' versions stay for the retention time, counted from now.
  auto mark = db_.statement(
      std::string("INSERT OR REPLACE INTO deleted_files(file_id, deleted) SELECT file_id, ?4 "
                  "FROM entries ") +
      kSubtree + " AND is_dir = 0");
  auto st = db_.statement(std::string("DELETE FROM entries ") + kSubtree);
  for (SqliteStatement* step : {&*mark, &*st}) {
    step->bind(1, owner.userId);
    step->bind(2, owner.root);
    step->bind(3, path);
  }
  mark->bind(4, nowSeconds());
  mark->step();
  st->step();
  std::vector<std::string> freed;
  if (!mark->status().ok() || !st->status().ok() || !pruneLocked("", &freed) || !tx.commit()) {
    return failed();
  }
  dropUnheldLocked(freed);
  return *existing;
}

bool FileTree::pruneLocked(const std::string& fileId, std::vector<std::string>* freed) {
  const std::int64_t deletedBefore = nowSeconds() - retention_.deletedSeconds;
  std::vector<std::int64_t> revs;
  auto past = db_.statement(
      "SELECT rev, blob FROM versions WHERE file_id = ? ORDER BY rev DESC LIMIT -1 OFFSET ?");
  past->bind(1, fileId);
  past->bind(2, retention_.versionsPerFile);
  auto expired = db_.statement(
      "SELECT v.rev, v.blob FROM versions v JOIN deleted_files d ON v.file_id = d.file_id "
      "WHERE d.deleted <= ?");
  expired->bind(1, deletedBefore);
  for (SqliteStatement* found : {&*past, &*expired}) {
    while (found->step()) {
      revs.push_back(found->int64(0));
      freed->push_back(found->text(1));
    }
    if (!found->status().ok()) return false;
  }
  auto drop = db_.statement("DELETE FROM versions WHERE rev = ?");
  for (const std::int64_t rev : revs) {
    drop->reset();
    drop->bind(1, rev);
    drop->step();
    if (!drop->status().ok()) return false;
  }
  auto forget = db_.statement("DELETE FROM deleted_files WHERE deleted <= ?");
  forget->bind(1, deletedBefore);
  forget->step();
  return forget->status().ok();
}

void FileTree::dropUnheldLocked(const std::vector<std::string>& freed) {
  if (!blobs_) return;
  auto held = db_.statement(
      "SELECT EXISTS(SELECT 1 FROM versions WHERE blob = ?1) OR "
      "EXISTS(SELECT 1 FROM copy_refs WHERE blob = ?1 AND created >= ?2)");
  for (const auto& hash : std::unordered_set<std::string>(freed.begin(), freed.end())) {
    held->reset();
    held->bind(1, hash);
    held->bind(2, nowSeconds() - kCopyRefLifetime);
    // A blob whose holders cannot be read is kept: the next start's sweep
    // decides then.
    if (held->step() && held->int64(0) == 0) blobs_->remove(hash);
  }
}

Status FileTree::pruneAll() {
  auto guard = db_.lock();
  Transaction tx(db_.sql());
  if (!tx.begun()) return failed();
  auto adopt = db_.statement(
      "INSERT OR IGNORE INTO deleted_files(file_id, deleted) SELECT DISTINCT file_id, ? "
      "FROM versions WHERE file_id NOT IN (SELECT file_id FROM entries)");
  adopt->bind(1, nowSeconds());
  adopt->step();
  auto past = db_.statement(
      "DELETE FROM versions WHERE rev IN (SELECT rev FROM (SELECT rev, row_number() OVER "
      "(PARTITION BY file_id ORDER BY rev DESC) AS newer FROM versions) WHERE newer > ?)");
  past->bind(1, retention_.versionsPerFile);
  past->step();
  std::vector<std::string> freed;
  if (!adopt->status().ok() || !past->status().ok() || !pruneLocked("", &freed) || !tx.commit()) {
    return failed();
  }
  return Status::OK();
}

Result<Entry> FileTree::move(const Owner& owner, const std::string& from, const std::string& to) {
  if (from == "/") return forbidden();
  auto guard = db_.lock();
  Transaction tx(db_.sql());
  if (!tx.begun()) return failed();
  if (!findLocked(owner, from)) return notFound();
  // Onto itself the target is taken (by the entry itself); into itself is
  // not a place a folder can go.
  if (to == from) return exists();
  if (StoragePath::within(to, from)) return forbidden();
  if (auto status = placeable(owner, to); !status.ok()) return status;
  const std::int64_t now = nowSeconds();
  auto st = db_.statement(
      "UPDATE entries SET path = ?, parent = ?, name = ?, modified = ? "
      "WHERE user_id = ? AND root = ? AND path = ?");
  for (const auto& e : subtreeLocked(owner, from)) {
    const std::string path = to + e.path.substr(from.size());
    st->reset();
    st->bind(1, path);
    st->bind(2, StoragePath::parent(path));
    st->bind(3, StoragePath::name(path));
    st->bind(4, e.path == from ? now : e.modified);
    st->bind(5, owner.userId);
    st->bind(6, owner.root);
    st->bind(7, e.path);
    st->step();
    if (!st->status().ok()) return failed();
  }
  auto result = findLocked(owner, to);
  if (!result || !tx.commit()) return failed();
  return *result;
}

Result<Entry> FileTree::copy(const Owner& source, const std::string& from, const Owner& target,
                             const std::string& to, std::int64_t quotaTotal,
                             const std::optional<BlobId>& content) {
  const bool sameTree = source.userId == target.userId && source.root == target.root;
  if (sameTree && StoragePath::within(to, from)) return forbidden();
  auto guard = db_.lock();
  Transaction tx(db_.sql());
  if (!tx.begun()) return failed();
  auto entries = subtreeLocked(source, from);
  if (from == "/") entries.insert(entries.begin(), rootFolder());
  if (entries.empty()) return notFound();
  if (content && entries.size() == 1 && !entries[0].isDir) {
    entries[0].blob = content->hash;
    entries[0].size = content->size;
  }
  if (auto status = placeable(target, to); !status.ok()) return status;
  std::int64_t total = 0;
  for (const auto& e : entries) total += e.size;
  if (usedLocked(target.userId) + total > quotaTotal) return overSpace();
  const std::int64_t now = nowSeconds();
  for (auto e : entries) {
    e.path = from == "/" ? (e.path == "/" ? to : to + e.path) : to + e.path.substr(from.size());
    e.name = StoragePath::name(e.path);
    e.fileId = Secrets::randomHex(8);
    e.created = e.modified = now;
    if (!e.isDir) {
      e.rev = addVersionLocked(target.userId, e.fileId, e.blob, e.size, now);
      if (e.rev == 0) return failed();
    }
    if (!insertLocked(target, e)) return failed();
  }
  auto result = findLocked(target, to);
  if (!result || !tx.commit()) return failed();
  return *result;
}

Result<std::vector<Version>> FileTree::history(const Owner& owner, const std::string& path) {
  auto guard = db_.lock();
  const auto entry = findLocked(owner, path);
  if (!entry) return notFound();
  if (entry->isDir) return notAFile();
  auto st = db_.statement(
      "SELECT file_id, rev, size, created FROM versions WHERE file_id = ? AND user_id = ? "
      "ORDER BY rev DESC");
  st->bind(1, entry->fileId);
  st->bind(2, owner.userId);
  std::vector<Version> versions;
  while (st->step()) versions.push_back({st->text(0), st->int64(1), st->int64(2), st->int64(3)});
  return versions;
}

std::string FileTree::createCopyRef(const Owner& owner, const Entry& entry) {
  const std::string ref = Secrets::randomHex(12);
  auto guard = db_.lock();
  auto st = db_.statement(
      "INSERT INTO copy_refs(ref, user_id, root, path, created, file_id, blob, size) "
      "VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
  st->bind(1, ref);
  st->bind(2, owner.userId);
  st->bind(3, owner.root);
  st->bind(4, entry.path);
  st->bind(5, nowSeconds());
  st->bind(6, entry.fileId);
  if (entry.isDir) {
    st->bindNull(7);
  } else {
    st->bind(7, entry.blob);
  }
  st->bind(8, entry.size);
  st->step();
  return ref;
}

std::optional<CopySource> FileTree::resolveCopyRef(const std::string& ref) {
  auto guard = db_.lock();
  auto st = db_.statement(
      "SELECT r.user_id, r.root, e.path, r.blob, r.size FROM copy_refs r JOIN entries e "
      "ON e.user_id = r.user_id AND e.root = r.root AND e.file_id = r.file_id "
      "WHERE r.ref = ? AND r.created >= ?");
  st->bind(1, ref);
  st->bind(2, nowSeconds() - kCopyRefLifetime);
  if (!st->step()) return std::nullopt;
  CopySource source{{st->int64(0), st->text(1)}, st->text(2), std::nullopt};
  if (!st->isNull(3)) source.content = BlobId{st->text(3), st->int64(4)};
  return source;
}

std::string FileTree::createShare(const Owner& owner, const Entry& entry, const std::string& name,
                                  const std::string& accessCode) {
  const std::string id = Secrets::randomHex(10);
  auto guard = db_.lock();
  auto st = db_.statement(
      "INSERT INTO shares(id, user_id, root, path, name, access_code, created, file_id) "
      "VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
  st->bind(1, id);
  st->bind(2, owner.userId);
  st->bind(3, owner.root);
  st->bind(4, entry.path);
  st->bind(5, name);
  st->bind(6, accessCode);
  st->bind(7, nowSeconds());
  st->bind(8, entry.fileId);
  st->step();
  return id;
}

std::optional<ShareRecord> FileTree::share(const std::string& id) {
  auto guard = db_.lock();
  auto st = db_.statement(
      "SELECT id, user_id, root, path, name, access_code, file_id FROM shares WHERE id = ?");
  st->bind(1, id);
  if (!st->step()) return std::nullopt;
  return ShareRecord{
      st->text(0), {st->int64(1), st->text(2)}, st->text(3), st->text(4), st->text(5), st->text(6)};
}

bool FileTree::shareTakesCodes(const std::string& id) {
  auto guard = db_.lock();
  auto st = db_.statement("SELECT locked_until FROM shares WHERE id = ?");
  st->bind(1, id);
  return st->step() && st->int64(0) <= nowSeconds();
}

void FileTree::shareCodeTried(const std::string& id, bool right) {
  auto guard = db_.lock();
  if (right) {
    auto st = db_.statement("UPDATE shares SET failed_codes = 0 WHERE id = ?");
    st->bind(1, id);
    st->step();
    return;
  }
  auto st = db_.statement(
      "UPDATE shares SET failed_codes = (failed_codes + 1) % ?, "
      "locked_until = CASE WHEN failed_codes + 1 >= ? THEN ? ELSE locked_until END WHERE id = ?");
  st->bind(1, std::int64_t{kCodeAttempts});
  st->bind(2, std::int64_t{kCodeAttempts});
  st->bind(3, nowSeconds() + kCodeLockSeconds);
  st->bind(4, id);
  st->step();
}

std::unordered_set<std::string> FileTree::referencedBlobs() {
  auto guard = db_.lock();
  auto st = db_.statement(
      "SELECT blob FROM versions UNION SELECT blob FROM copy_refs WHERE blob IS NOT NULL AND "
      "created >= ?");
  st->bind(1, nowSeconds() - kCopyRefLifetime);
  std::unordered_set<std::string> blobs;
  while (st->step()) blobs.insert(st->text(0));
  return blobs;
}

}  // namespace nb::server
