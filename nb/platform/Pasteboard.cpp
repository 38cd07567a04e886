#include "nb/platform/Pasteboard.h"

#include "nb/platform/SqliteDatabase.h"
#include "nb/platform/internal/PasteboardStore.h"

namespace nb {
namespace {

// Runs `sql` with `name` bound first and `bind` adding the rest; the status of
// the (last) step.
template <class Bind>
SqliteStatus run(PasteboardStore& store, const char* sql, const std::string& name, Bind bind,
                 bool* gotRow = nullptr) {
  SqliteStatus status;
  auto statement = store.database().prepare(sql, &status);
  if (!statement) return status;
  statement->bind(1, name);
  bind(*statement);
  const bool row = statement->step();
  if (gotRow) *gotRow = row;
  return statement->status();
}

bool report(std::string* error, const SqliteStatus& status) {
  if (status.ok()) {
    if (error) error->clear();
    return true;
  }
  if (error) *error = "pasteboard store: " + status.message;
  return false;
}

void noBind(SqliteStatement&) {}

}  // namespace

Pasteboard::Pasteboard(std::shared_ptr<PasteboardStore> store, std::string name, bool created)
    : store_(std::move(store)), name_(std::move(name)), created_(created) {}

Pasteboard::~Pasteboard() {
  if (created_ && !madePersistent_) removePasteboardWithName(*store_, name_);
}

std::shared_ptr<Pasteboard> Pasteboard::pasteboardWithName(std::shared_ptr<PasteboardStore> store,
                                                           const std::string& name, bool create,
                                                           std::string* error) {
  bool exists = false;
  SqliteStatus status =
      run(*store, "SELECT 1 FROM pasteboards WHERE name = ?", name, noBind, &exists);
  bool created = false;
  if (status.ok() && !exists && create) {
    status = run(*store, "INSERT OR IGNORE INTO pasteboards(name) VALUES (?)", name, noBind);
    created = status.ok() && store->database().changes() > 0;
    exists = status.ok();
  }
  if (!report(error, status) || !exists) return nullptr;
  return std::shared_ptr<Pasteboard>(new Pasteboard(std::move(store), name, created));
}

bool Pasteboard::removePasteboardWithName(PasteboardStore& store, const std::string& name,
                                          std::string* error) {
  return report(error, run(store, "DELETE FROM pasteboards WHERE name = ?", name, noBind));
}

bool Pasteboard::persistent(std::string* error) const {
  SqliteStatus status;
  auto statement =
      store_->database().prepare("SELECT persistent FROM pasteboards WHERE name = ?", &status);
  if (!statement) {
    report(error, status);
    return false;
  }
  statement->bind(1, name_);
  const bool row = statement->step();
  report(error, statement->status());
  return row && statement->int64(0) != 0;
}

bool Pasteboard::setPersistent(bool persistent, std::string* error) {
  const SqliteStatus status =
      run(*store_, "UPDATE pasteboards SET persistent = ?2 WHERE name = ?1", name_,
          [&](SqliteStatement& s) { s.bind(2, std::int64_t{persistent}); });
  if (status.ok()) madePersistent_ = persistent;
  return report(error, status);
}

std::optional<std::vector<std::uint8_t>> Pasteboard::dataForPasteboardType(
    const std::string& type, std::string* error) const {
  SqliteStatus status;
  auto statement = store_->database().prepare(
      "SELECT data FROM pasteboards WHERE name = ? AND type = ? AND data IS NOT NULL", &status);
  if (!statement) {
    report(error, status);
    return std::nullopt;
  }
  statement->bind(1, name_);
  statement->bind(2, type);
  const bool row = statement->step();
  report(error, statement->status());
  if (!row) return std::nullopt;
  return statement->blob(0);
}

bool Pasteboard::setData(std::span<const std::uint8_t> data, const std::string& type,
                         std::string* error) {
  const SqliteStatus status =
      run(*store_, "UPDATE pasteboards SET type = ?2, data = ?3 WHERE name = ?1", name_,
          [&](SqliteStatement& s) {
            s.bind(2, type);
            // A zero-length blob must stay a blob, not become NULL.
            static const std::uint8_t kEmpty = 0;
            s.bindBlob(3, data.empty() ? &kEmpty : data.data(), data.size());
          });
  if (status.ok() && store_->database().changes() == 0) {
    if (error) *error = "pasteboard " + name_ + " was removed";
    return false;
  }
  return report(error, status);
}

}  // namespace nb
