#include "nb/platform/internal/FileKeychain.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <utility>

#include "nb/platform/DataHome.h"
#include "nb/platform/SqliteDatabase.h"

namespace nb::internal {
namespace {

// The one place where SQLite's results become statuses.
Status statusOf(const SqliteStatus& status) {
  switch (status.code) {
    case SQLITE_OK:
      return Status::OK();
    case SQLITE_CONSTRAINT:
      return Status::alreadyExists("the keychain already holds an item with this identity");
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_NOTADB:
      return Status::unavailable("cannot open " + FileKeychain::path() + ": " + status.message);
    default:
      return Status::ioError(FileKeychain::path() + ": " + status.message);
  }
}

// The only item class there is.
constexpr const char* kGenericPassword = "genp";

// A WHERE clause for the attributes a query names, with its values in order.
struct Match {
  std::string sql;
  std::vector<std::string> values;
};

Match matchFor(const SecItemDictionary& query) {
  Match match{" WHERE class = ?", {kGenericPassword}};
  const std::pair<const char*, const std::optional<std::string>*> columns[] = {
      {"service", &query.service}, {"account", &query.account}, {"label", &query.label}};
  for (const auto& [column, value] : columns) {
    if (!value->has_value()) continue;
    match.sql += std::string(" AND ") + column + " = ?";
    match.values.push_back(**value);
  }
  return match;
}

}  // namespace

std::string FileKeychain::path() { return DataHome::path() + "/keychain.db"; }

bool FileKeychain::exists() {
  struct stat info {};
  return ::stat(path().c_str(), &info) == 0;
}

FileKeychain::FileKeychain(std::unique_ptr<SqliteDatabase> db) : db_(std::move(db)) {}
FileKeychain::~FileKeychain() = default;

Result<std::unique_ptr<FileKeychain>> FileKeychain::open() {
  const std::string folder = DataHome::path();
  if (auto error = DataHome::ensureFolder(folder)) {
    return Status::unavailable("cannot make " + folder + ": " + *error);
  }
  SqliteStatus opened;
  // Every command reads the sign-in from here, and writes are rare: a rollback
  // journal lets a read open the file without creating any.
  auto db = SqliteDatabase::open(path(), &opened, 0600, SqliteDatabase::Journal::kRollback);
  if (!db) return statusOf(opened);
  const SqliteStatus schema = db->exec(
      "PRAGMA secure_delete = ON;"
      "CREATE TABLE IF NOT EXISTS items ("
      " class TEXT NOT NULL, service TEXT NOT NULL, account TEXT NOT NULL,"
      " label TEXT, data BLOB, PRIMARY KEY (class, service, account))");
  if (!schema.ok()) return statusOf(schema);
  return std::unique_ptr<FileKeychain>(new FileKeychain(std::move(db)));
}

Result<std::vector<KeychainItem>> FileKeychain::find(const SecItemDictionary& query,
                                                     bool withData) {
  const Match match = matchFor(query);
  // Reading the sign-in asks the same query eight times in a row: it is
  // compiled once.
  const std::string sql = "SELECT service, label, account, data FROM items" + match.sql;
  if (!lastFind_ || sql != lastFindSql_) {
    lastFind_.reset();
    SqliteStatus prepared;
    lastFind_ = db_->prepare(sql, &prepared);
    if (!lastFind_) return statusOf(prepared);
    lastFindSql_ = sql;
  }
  SqliteStatement* statement = lastFind_.get();
  // Unbound values from an earlier run cannot remain: a query of the same
  // text binds the same number of values.
  struct Done {
    SqliteStatement* statement;
    ~Done() { statement->reset(); }  // ends its read at once, whatever happens below
  } done{statement};
  for (std::size_t i = 0; i < match.values.size(); ++i) {
    statement->bind(static_cast<int>(i) + 1, match.values[i]);
  }
  std::vector<KeychainItem> items;
  while (statement->step()) {
    KeychainItem item;
    item.service = statement->text(0);
    if (!statement->isNull(1)) item.label = statement->text(1);
    item.account = statement->text(2);
    if (withData && !statement->isNull(3)) {
      const auto bytes = statement->blob(3);
      item.data = std::string(bytes.begin(), bytes.end());
    }
    items.push_back(std::move(item));
  }
  if (!statement->status().ok()) return statusOf(statement->status());
  return items;
}

Status FileKeychain::add(const KeychainItem& item) {
  DataHome::makePrivate(path());  // secrets go only into a file of the owner's
  SqliteStatus prepared;
  auto statement = db_->prepare(
      "INSERT INTO items (class, service, account, label, data) VALUES (?, ?, ?, ?, ?)", &prepared);
  if (!statement) return statusOf(prepared);
  statement->bind(1, kGenericPassword);
  statement->bind(2, item.service);
  statement->bind(3, item.account);
  if (item.label) {
    statement->bind(4, *item.label);
  } else {
    statement->bindNull(4);
  }
  if (item.data) {
    statement->bindBlob(5, item.data->data(), item.data->size());
  } else {
    statement->bindNull(5);
  }
  statement->step();
  return statusOf(statement->status());
}

Result<std::size_t> FileKeychain::update(const SecItemDictionary& query,
                                         const SecItemDictionary& change) {
  DataHome::makePrivate(path());  // secrets go only into a file of the owner's
  std::string sql = "UPDATE items SET ";
  std::vector<std::string> values;
  const std::pair<const char*, const std::optional<std::string>*> columns[] = {
      {"service", &change.service}, {"account", &change.account}, {"label", &change.label}};
  for (const auto& [column, value] : columns) {
    if (!value->has_value()) continue;
    sql += std::string(column) + " = ?, ";
    values.push_back(**value);
  }
  sql += change.valueData ? "data = ?" : "data = data";
  const Match match = matchFor(query);
  SqliteStatus prepared;
  auto statement = db_->prepare(sql + match.sql, &prepared);
  if (!statement) return statusOf(prepared);
  int index = 1;
  for (const auto& value : values) statement->bind(index++, value);
  if (change.valueData) {
    statement->bindBlob(index++, change.valueData->data(), change.valueData->size());
  }
  for (const auto& value : match.values) statement->bind(index++, value);
  statement->step();
  if (!statement->status().ok()) return statusOf(statement->status());
  return static_cast<std::size_t>(db_->changes());
}

Result<std::size_t> FileKeychain::remove(const SecItemDictionary& query) {
  const Match match = matchFor(query);
  SqliteStatus prepared;
  auto statement = db_->prepare("DELETE FROM items" + match.sql, &prepared);
  if (!statement) return statusOf(prepared);
  for (std::size_t i = 0; i < match.values.size(); ++i) {
    statement->bind(static_cast<int>(i) + 1, match.values[i]);
  }
  statement->step();
  if (!statement->status().ok()) return statusOf(statement->status());
  return static_cast<std::size_t>(db_->changes());
}

Status FileKeychain::flush() { return statusOf(db_->exec("PRAGMA wal_checkpoint(TRUNCATE)")); }

}  // namespace nb::internal
