// The keychain stand-in: generic-password items (service, account, label and a
// value). They live in the desktop's Secret Service when the session bus offers
// one, else in keychain.db (SQLite, 0600) under DataHome::path();
// NB_KEYCHAIN=secret-service|file forces one. The four calls mirror the
// platform's; statuses are errSec* codes. Every call opens the store afresh,
// so any thread may call, and several processes may use the same store at
// once. Calls to the Secret Service give up after NB_KEYCHAIN_TIMEOUT_MS
// (default 10000) and never show an unlock prompt. A SecItemSession lets a
// run of calls on one thread share one opened store.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "nb/Status.h"

namespace nb {

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
// The store could not be read or written.
inline constexpr OSStatus errSecIO = -36;
// A query without the item class, an update that changes nothing, or an
// NB_KEYCHAIN naming no store.
inline constexpr OSStatus errSecParam = -50;
// No store can be used: the file cannot be opened, the forced Secret Service
// is not there, the bus did not answer in time, or went away.
inline constexpr OSStatus errSecNotAvailable = -25291;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
// The keyring is locked; unlocking it would need a prompt, which is never shown.
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;

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

// The detailed outcome of this thread's last SecItem call: its status code
// explained ("the Secret Service collection is locked; ..."). Ok after a success.
Status SecItemLastStatus();

namespace internal {
class KeychainBackend;
}

// While a session lives, the SecItem calls of the thread that made it share
// one opened store (opened at the first call) instead of opening it for each
// call: reading the four sign-in values opens the store once. Keep a session
// short, around one run of calls: the store is chosen when it is opened, so a
// change of NB_KEYCHAIN, NB_DATA_HOME or the session bus during the session is
// not seen. Sessions nest; the outermost one owns the store. One thread only.
class SecItemSession {
 public:
  SecItemSession();
  ~SecItemSession();
  SecItemSession(const SecItemSession&) = delete;
  SecItemSession& operator=(const SecItemSession&) = delete;

 private:
  SecItemSession* outer_;
  std::unique_ptr<internal::KeychainBackend> backend_;
  friend class SecItemSessionAccess;
};

// The store the calls use now.
struct SecKeychainStore {
  std::string name;      // "secret-service" or "file"
  std::string location;  // where, for people: a collection, or the file's path
};
// Opens the store as a call would (moving file-store items into the Secret
// Service when it has become available), or says why no store can be used.
Result<SecKeychainStore> SecKeychainCurrentStore();

}  // namespace nb
