#include "nb/platform/UserDefaults.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "nb/platform/DataHome.h"
#include "nb/platform/KeyedArchiver.h"
#include "nb/platform/SqliteDatabase.h"

namespace nb {
namespace {

std::mutex gIdMutex;
std::string gApplicationId;  // set by setApplicationId; empty when not set

bool usableId(const std::string& id) {
  if (id.empty() || id.size() > 200 || id.front() == '.') return false;
  for (unsigned char c : id) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

bool report(std::string* error, const std::string& message) {
  if (error) *error = message;
  return false;
}

bool report(std::string* error, const SqliteStatus& status) {
  if (status.ok()) {
    if (error) error->clear();
    return true;
  }
  return report(error, "defaults store: " + status.message);
}

}  // namespace

std::string UserDefaults::applicationId() {
  {
    std::lock_guard lock(gIdMutex);
    if (!gApplicationId.empty()) return gApplicationId;
  }
  const char* fromEnvironment = std::getenv("NB_APP_ID");
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
  return program_invocation_short_name;
}

void UserDefaults::setApplicationId(std::string id) {
  std::lock_guard lock(gIdMutex);
  gApplicationId = std::move(id);
}

std::unique_ptr<UserDefaults> UserDefaults::standardUserDefaults(std::string* error) {
  return open(applicationId(), error);
}

std::unique_ptr<UserDefaults> UserDefaults::open(const std::string& applicationId,
                                                 std::string* error) {
  if (!usableId(applicationId)) {
    report(error, "unusable application id \"" + applicationId + "\"");
    return nullptr;
  }
  const std::string folder = DataHome::path() + "/defaults";
  if (auto problem = DataHome::ensureFolder(folder)) {
    report(error, *problem);
    return nullptr;
  }
  SqliteStatus status;
  auto db = SqliteDatabase::open(folder + "/" + applicationId + ".db", &status);
  if (db) {
    status =
        db->exec("CREATE TABLE IF NOT EXISTS defaults(key TEXT PRIMARY KEY, value BLOB NOT NULL)");
  }
  if (!report(error, status)) return nullptr;
  return std::unique_ptr<UserDefaults>(new UserDefaults(std::move(db)));
}

UserDefaults::UserDefaults(std::unique_ptr<SqliteDatabase> db) : db_(std::move(db)) {}
UserDefaults::~UserDefaults() = default;

std::optional<PropertyValue> UserDefaults::objectForKey(const std::string& key,
                                                        std::string* error) const {
  SqliteStatus status;
  auto statement = db_->prepare("SELECT value FROM defaults WHERE key = ?", &status);
  if (!statement) {
    report(error, status);
    return std::nullopt;
  }
  statement->bind(1, key);
  const bool row = statement->step();
  if (!report(error, statement->status()) || !row) return std::nullopt;
  std::string problem;
  auto value = KeyedArchiver::unarchiveObjectWithData(statement->blob(0), &problem);
  if (!value) report(error, "defaults value for \"" + key + "\" is unreadable: " + problem);
  return value;
}

bool UserDefaults::setObject(const PropertyValue& value, const std::string& key,
                             std::string* error) {
  std::string problem;
  const auto bytes = KeyedArchiver::archivedDataWithRootObject(value, &problem);
  if (!bytes) return report(error, "cannot store \"" + key + "\": " + problem);
  SqliteStatus status;
  auto statement =
      db_->prepare("INSERT OR REPLACE INTO defaults(key, value) VALUES (?, ?)", &status);
  if (!statement) return report(error, status);
  statement->bind(1, key);
  statement->bindBlob(2, bytes->data(), bytes->size());
  statement->step();
  return report(error, statement->status());
}

bool UserDefaults::removeObjectForKey(const std::string& key, std::string* error) {
  SqliteStatus status;
  auto statement = db_->prepare("DELETE FROM defaults WHERE key = ?", &status);
  if (!statement) return report(error, status);
  statement->bind(1, key);
  statement->step();
  return report(error, statement->status());
}

}  // namespace nb
