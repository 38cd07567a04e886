#include "nb/platform/SecItem.h"

#include <sqlite3.h>

#include <memory>
#include <vector>

#include "nb/platform/DataHome.h"
#include "nb/platform/internal/SqliteDatabase.h"

namespace nb {
namespace {

// The one place where the store's results become keychain statuses.
OSStatus statusOf(const SqliteStatus& status) {
  switch (status.code) {
    case SQLITE_OK:
      return errSecSuccess;
    case SQLITE_CONSTRAINT:
      return errSecDuplicateItem;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_NOTADB:
      return errSecNotAvailable;
    default:
      return errSecIO;
  }
}

const char* classText(SecClass itemClass) {
  switch (itemClass) {
    case SecClass::GenericPassword:
      return "genp";
  }
  return "";
}

std::unique_ptr<SqliteDatabase> openStore(OSStatus* status) {
  const std::string folder = DataHome::path();
  if (DataHome::ensureFolder(folder)) {
    *status = errSecNotAvailable;
    return nullptr;
  }
  SqliteStatus opened;
  auto db = SqliteDatabase::open(folder + "/keychain.db", &opened, 0600);
  if (!db) {
    *status = statusOf(opened);
    return nullptr;
  }
  const SqliteStatus schema = db->exec(
      "CREATE TABLE IF NOT EXISTS items ("
      " class TEXT NOT NULL, service TEXT NOT NULL, account TEXT NOT NULL,"
      " label TEXT, data BLOB, PRIMARY KEY (class, service, account))");
  if (!schema.ok()) {
    *status = statusOf(schema);
    return nullptr;
  }
  *status = errSecSuccess;
  return db;
}

// A WHERE clause for the attributes a query names, with its values in order.
struct Match {
  std::string sql;
  std::vector<std::string> values;
};

Match matchFor(const SecItemDictionary& query) {
  Match match{" WHERE class = ?", {classText(*query.itemClass)}};
  const std::pair<const char*, const std::optional<std::string>*> columns[] = {
      {"service", &query.service}, {"account", &query.account}, {"label", &query.label}};
  for (const auto& [column, value] : columns) {
    if (!value->has_value()) continue;
    match.sql += std::string(" AND ") + column + " = ?";
    match.values.push_back(**value);
  }
  return match;
}

OSStatus run(SqliteDatabase& db, const std::string& sql, const std::vector<std::string>& values,
             const std::optional<std::string>* blob = nullptr) {
  SqliteStatus status;
  auto statement = db.prepare(sql, &status);
  if (!statement) return statusOf(status);
  int index = 1;
  if (blob != nullptr) {
    if (blob->has_value()) {
      statement->bindBlob(index, (*blob)->data(), (*blob)->size());
    } else {
      statement->bindNull(index);
    }
    ++index;
  }
  for (const auto& value : values) statement->bind(index++, value);
  statement->step();
  return statusOf(statement->status());
}

}  // namespace

OSStatus SecItemCopyMatching(const SecItemDictionary& query, SecItemResult* result) {
  if (!query.itemClass) return errSecParam;
  OSStatus status;
  auto db = openStore(&status);
  if (!db) return status;
  const Match match = matchFor(query);
  SqliteStatus prepared;
  auto statement =
      db->prepare("SELECT service, label, account, data FROM items" + match.sql + " LIMIT 1",
                  &prepared);
  if (!statement) return statusOf(prepared);
  for (std::size_t i = 0; i < match.values.size(); ++i) {
    statement->bind(static_cast<int>(i) + 1, match.values[i]);
  }
  if (!statement->step()) {
    return statement->status().ok() ? errSecItemNotFound : statusOf(statement->status());
  }
  if (result != nullptr) {
    *result = {};
    if (query.returnAttributes) {
      result->service = statement->text(0);
      if (!statement->isNull(1)) result->label = statement->text(1);
      result->account = statement->text(2);
    }
    if (query.returnData && !statement->isNull(3)) {
      const auto bytes = statement->blob(3);
      result->valueData = std::string(bytes.begin(), bytes.end());
    }
  }
  return errSecSuccess;
}

OSStatus SecItemAdd(const SecItemDictionary& attributes) {
  if (!attributes.itemClass) return errSecParam;
  OSStatus status;
  auto db = openStore(&status);
  if (!db) return status;
  std::vector<std::string> values = {classText(*attributes.itemClass),
                                     attributes.service.value_or(""),
                                     attributes.account.value_or("")};
  std::string sql = "INSERT INTO items (data, class, service, account, label) VALUES (?, ?, ?, ?, ";
  if (attributes.label) {
    sql += "?)";
    values.push_back(*attributes.label);
  } else {
    sql += "NULL)";
  }
  return run(*db, sql, values, &attributes.valueData);
}

OSStatus SecItemUpdate(const SecItemDictionary& query,
                       const SecItemDictionary& attributesToUpdate) {
  const bool setsData = attributesToUpdate.valueData.has_value();
  const bool setsAttributes = attributesToUpdate.service || attributesToUpdate.account ||
                              attributesToUpdate.label;
  if (!query.itemClass || (!setsData && !setsAttributes)) return errSecParam;
  OSStatus status;
  auto db = openStore(&status);
  if (!db) return status;
  std::string sql = "UPDATE items SET ";
  std::vector<std::string> values;
  const std::pair<const char*, const std::optional<std::string>*> columns[] = {
      {"service", &attributesToUpdate.service},
      {"account", &attributesToUpdate.account},
      {"label", &attributesToUpdate.label}};
  for (const auto& [column, value] : columns) {
    if (!value->has_value()) continue;
    sql += std::string(column) + " = ?, ";
    values.push_back(**value);
  }
  sql += setsData ? "data = ?" : "data = data";
  const Match match = matchFor(query);
  // The data value, when set, is bound after the named columns.
  SqliteStatus prepared;
  auto statement = db->prepare(sql + match.sql, &prepared);
  if (!statement) return statusOf(prepared);
  int index = 1;
  for (const auto& value : values) statement->bind(index++, value);
  if (setsData) {
    statement->bindBlob(index++, attributesToUpdate.valueData->data(),
                        attributesToUpdate.valueData->size());
  }
  for (const auto& value : match.values) statement->bind(index++, value);
  statement->step();
  if (!statement->status().ok()) return statusOf(statement->status());
  return db->changes() == 0 ? errSecItemNotFound : errSecSuccess;
}

OSStatus SecItemDelete(const SecItemDictionary& query) {
  if (!query.itemClass) return errSecParam;
  OSStatus status;
  auto db = openStore(&status);
  if (!db) return status;
  const Match match = matchFor(query);
  const OSStatus deleted = run(*db, "DELETE FROM items" + match.sql, match.values);
  if (deleted != errSecSuccess) return deleted;
  return db->changes() == 0 ? errSecItemNotFound : errSecSuccess;
}

}  // namespace nb
