// PasteboardStore is one connection to the user's shared pasteboard file
// (pasteboards.db in DataHome), where the named pasteboards of all of a user's
// applications live. Pasteboard handles share ownership of their store. Use a
// store and its handles from one thread at a time; processes share the file.
#pragma once

#include <memory>
#include <string>

namespace nb {

class SqliteDatabase;

class PasteboardStore {
 public:
  // Opens (creating when absent) the store of the current DataHome; nullptr
  // with `error` set when the folder or file cannot be used.
  static std::shared_ptr<PasteboardStore> open(std::string* error = nullptr);
  ~PasteboardStore();
  PasteboardStore(const PasteboardStore&) = delete;
  PasteboardStore& operator=(const PasteboardStore&) = delete;

  // Takes the store's write lock (waiting for other processes) until commit()
  // or rollback(): what is read in between cannot change under the caller, so
  // a read-then-claim sequence is atomic across processes.
  bool begin(std::string* error = nullptr);
  bool commit(std::string* error = nullptr);
  void rollback();

  // The connection, for Pasteboard's statements.
  SqliteDatabase& database() { return *db_; }

 private:
  explicit PasteboardStore(std::unique_ptr<SqliteDatabase> db);
  std::unique_ptr<SqliteDatabase> db_;
};

}  // namespace nb
