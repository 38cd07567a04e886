// UserDefaults is one application's persistent key-value store: property
// values by string key in defaults/<application id>.db under DataHome. Every
// call reads or writes the file at once, so processes of the same application
// see each other's writes. One object per thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "nb/platform/PropertyValue.h"

namespace nb {

class SqliteDatabase;

class UserDefaults {
 public:
  // The calling application's id: the one set with setApplicationId, else
  // $NB_APP_ID, else the program's name.
  static std::string applicationId();
  // Sets the process's application id; an empty id returns to the default.
  // Any thread.
  static void setApplicationId(std::string id);

  // The defaults of the calling application; nullptr with `error` set when the
  // application id is unusable as a file name or the store cannot be opened.
  static std::unique_ptr<UserDefaults> standardUserDefaults(std::string* error = nullptr);
  // The defaults of application `applicationId` (letters, digits, ".", "-",
  // "_"; not starting with ".").
  static std::unique_ptr<UserDefaults> open(const std::string& applicationId,
                                            std::string* error = nullptr);
  ~UserDefaults();
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  // The value under `key`; nothing when absent (`error` empty) or when the
  // store fails or the stored bytes are unreadable (`error` set).
  std::optional<PropertyValue> objectForKey(const std::string& key,
                                            std::string* error = nullptr) const;
  bool setObject(const PropertyValue& value, const std::string& key, std::string* error = nullptr);
  // Removing an absent key succeeds.
  bool removeObjectForKey(const std::string& key, std::string* error = nullptr);

 private:
  explicit UserDefaults(std::unique_ptr<SqliteDatabase> db);
  std::unique_ptr<SqliteDatabase> db_;
};

}  // namespace nb
