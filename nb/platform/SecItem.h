// The keychain stand-in: generic-password items (service, account, label and a
// value) kept in keychain.db (SQLite) under DataHome::path(), in a 0700 folder
// with file mode 0600. The four calls mirror the platform's; statuses are
// errSec* codes. Every call opens the store afresh, so any thread may call,
// and several processes may read and write the same store at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace nb {

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecIO = -36;             // the store could not be read or written
inline constexpr OSStatus errSecParam = -50;          // the query lacks the item class
inline constexpr OSStatus errSecNotAvailable = -25291;  // the store cannot be opened
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;

enum class SecClass { GenericPassword };
inline constexpr SecClass kSecClassGenericPassword = SecClass::GenericPassword;

// A query, or the attributes of an item. Absent fields take no part; an item
// is identified by class, service and account (absent counts as empty).
struct SecItemDictionary {
  std::optional<SecClass> itemClass;     // kSecClass
  std::optional<std::string> service;    // kSecAttrService
  std::optional<std::string> label;      // kSecAttrLabel
  std::optional<std::string> account;    // kSecAttrAccount
  std::optional<std::string> valueData;  // kSecValueData, raw bytes
  bool returnAttributes = false;         // kSecReturnAttributes
  bool returnData = false;               // kSecReturnData
};

// What SecItemCopyMatching found: the attributes and the data, as asked for.
struct SecItemResult {
  std::optional<std::string> service;
  std::optional<std::string> label;
  std::optional<std::string> account;
  std::optional<std::string> valueData;
};

// Finds the first item that matches; `result` (may be null) gets what the query asks for.
OSStatus SecItemCopyMatching(const SecItemDictionary& query, SecItemResult* result);
// Adds an item; errSecDuplicateItem when one with the same identity exists.
OSStatus SecItemAdd(const SecItemDictionary& attributes);
// Changes every matching item to the given attributes; errSecItemNotFound when none matches.
OSStatus SecItemUpdate(const SecItemDictionary& query, const SecItemDictionary& attributesToUpdate);
// Deletes every matching item; errSecItemNotFound when none matches.
OSStatus SecItemDelete(const SecItemDictionary& query);

}  // namespace nb
