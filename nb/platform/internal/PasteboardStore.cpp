#include "nb/platform/internal/PasteboardStore.h"

#include "nb/platform/DataHome.h"
#include "nb/platform/SqliteDatabase.h"

namespace nb {
namespace {

// One row per pasteboard; its content is at most one entry of one type
// (setting data replaces what was there).
constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS pasteboards("
    " name TEXT PRIMARY KEY,"
    " persistent INTEGER NOT NULL DEFAULT 0,"
    " type TEXT,"
    " data BLOB)";

bool report(std::string* error, const std::string& message) {
  if (error) *error = message;
  return false;
}

}  // namespace

PasteboardStore::PasteboardStore(std::unique_ptr<SqliteDatabase> db) : db_(std::move(db)) {}
PasteboardStore::~PasteboardStore() = default;

std::shared_ptr<PasteboardStore> PasteboardStore::open(std::string* error) {
  const std::string folder = DataHome::path();
  if (auto problem = DataHome::ensureFolder(folder)) {
    report(error, *problem);
    return nullptr;
  }
  SqliteStatus status;
  auto db = SqliteDatabase::open(folder + "/pasteboards.db", &status);
  if (db) status = db->exec(kSchema);
  if (!status.ok()) {
    report(error, "pasteboard store: " + status.message);
    return nullptr;
  }
  if (error) error->clear();
  return std::shared_ptr<PasteboardStore>(new PasteboardStore(std::move(db)));
}

bool PasteboardStore::begin(std::string* error) {
  const SqliteStatus status = db_->begin();
  return status.ok() || report(error, "pasteboard store: " + status.message);
}

bool PasteboardStore::commit(std::string* error) {
  const SqliteStatus status = db_->commit();
  if (status.ok()) return true;
  db_->rollback();
  return report(error, "pasteboard store: " + status.message);
}

void PasteboardStore::rollback() { db_->rollback(); }

}  // namespace nb
