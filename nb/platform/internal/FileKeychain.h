// FileKeychain keeps keychain items in keychain.db (SQLite) under
// DataHome::path(): a 0700 folder, a 0600 file, the secrets in plain bytes.
// A file or folder found more open is narrowed before secrets are written.
// Each object opens its own connection; several threads and processes may use
// the same file at once. Deleted secrets are overwritten, not left in free pages.
#pragma once

#include <memory>
#include <string>

#include "nb/platform/internal/KeychainBackend.h"

namespace nb {
class SqliteDatabase;
class SqliteStatement;
}  // namespace nb

namespace nb::internal {

class FileKeychain : public KeychainBackend {
 public:
  // Opens the store, creating the folder and the file when absent.
  static Result<std::unique_ptr<FileKeychain>> open();
  // Where the store is (or would be).
  static std::string path();
  // Whether the file exists, without creating it.
  static bool exists();
  ~FileKeychain() override;

  std::string name() const override { return "file"; }
  std::string location() const override { return path(); }
  Result<std::vector<KeychainItem>> find(const SecItemDictionary& query, bool withData) override;
  Status add(const KeychainItem& item) override;
  Result<std::size_t> update(const SecItemDictionary& query,
                             const SecItemDictionary& change) override;
  Result<std::size_t> remove(const SecItemDictionary& query) override;

  // Writes deleted pages back to the file and empties the write-ahead log, so
  // that no copy of a removed secret stays on disk.
  Status flush();

 private:
  explicit FileKeychain(std::unique_ptr<SqliteDatabase> db);
  std::unique_ptr<SqliteDatabase> db_;
  std::unique_ptr<SqliteStatement> lastFind_;  // the last find's compiled query
  std::string lastFindSql_;
};

}  // namespace nb::internal
