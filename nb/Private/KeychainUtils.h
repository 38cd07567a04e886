// KeychainUtils is a small string store over the keychain's generic-password
// items: one item per (key, service name), the value kept as UTF-8 bytes.
// Class-level calls only; any thread (each call opens the store afresh).
//
// Errors come back through the optional out-parameter: domain
// "VaultKeychainUtilsErrorDomain", code -2000 (a required argument is
// missing), -1999 (the item exists but its value cannot be read) or the
// keychain's own status. A call that succeeds clears it: code 0, empty domain.
#pragma once

#include <optional>
#include <string>

#include "nb/platform/NBError.h"

namespace nb {

class KeychainUtils {
 public:
  static constexpr const char* kErrorDomain = "VaultKeychainUtilsErrorDomain";
  static constexpr long kMissingArgumentError = -2000;
  static constexpr long kUnreadableValueError = -1999;

  // The stored value, or nothing. An absent item is no error.
  static std::optional<std::string> getValueForKey(const std::optional<std::string>& key,
                                                   const std::optional<std::string>& serviceName,
                                                   NBError* error = nullptr);
  // Stores `value`. An existing different value is replaced only when
  // `updateExisting` is true; otherwise it stays and the call still succeeds.
  static bool storeKey(const std::optional<std::string>& key,
                       const std::optional<std::string>& value,
                       const std::optional<std::string>& serviceName, bool updateExisting,
                       NBError* error = nullptr);
  // Deletes the item; deleting an absent one fails with errSecItemNotFound.
  static bool deleteForKey(const std::optional<std::string>& key,
                           const std::optional<std::string>& serviceName,
                           NBError* error = nullptr);
};

}  // namespace nb
