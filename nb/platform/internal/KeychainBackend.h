// KeychainBackend is one place the keychain calls keep their generic-password
// items: the file store (keychain.db) or the desktop's Secret Service. The
// SecItem functions choose one per call with openKeychainBackend(), use it for
// that call and drop it. Internal to the library. A backend object belongs to
// one thread; backends of other threads and processes may use the same store.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nb/Status.h"
#include "nb/platform/SecItem.h"

namespace nb::internal {

// One item as a store keeps it. Class, service and account identify it.
struct KeychainItem {
  std::string service;
  std::string account;
  std::optional<std::string> label;
  std::optional<std::string> data;  // raw bytes; absent when not asked for
};

class KeychainBackend {
 public:
  virtual ~KeychainBackend() = default;

  // "file" or "secret-service", as NB_KEYCHAIN names them.
  virtual std::string name() const = 0;
  // Where the items are, for people: "/home/me/.local/share/nb/keychain.db".
  virtual std::string location() const = 0;

  // The items matching the service, account and label `query` names (absent
  // fields match all), with their data when `withData`. An empty list when none.
  virtual Result<std::vector<KeychainItem>> find(const SecItemDictionary& query, bool withData) = 0;
  // Adds `item`; kAlreadyExists when one with its identity is there.
  virtual Status add(const KeychainItem& item) = 0;
  // Sets the fields `change` names on every matching item; the number changed.
  // kAlreadyExists when the change would give two items one identity.
  virtual Result<std::size_t> update(const SecItemDictionary& query,
                                     const SecItemDictionary& change) = 0;
  // Deletes every matching item; the number deleted.
  virtual Result<std::size_t> remove(const SecItemDictionary& query) = 0;
};

// The query that matches exactly the item with this identity.
SecItemDictionary identityOf(const KeychainItem& item);

// The store the calls use now. NB_KEYCHAIN=file or =secret-service forces one
// (an unusable forced store is an error, never a silent fall-back); otherwise
// the Secret Service when the session bus offers one, else the file store.
// When the Secret Service is chosen and the file store still holds items, they
// are first moved into it (the file's values win) and deleted from the file.
Result<std::unique_ptr<KeychainBackend>> openKeychainBackend();

}  // namespace nb::internal
