#include "nb/Private/KeychainUtils.h"

#include "nb/platform/SecItem.h"

namespace nb {
namespace {

void setError(NBError* error, long code) {
  if (error != nullptr) *error = NBError{KeychainUtils::kErrorDomain, code, "", nullptr};
}

void clearError(NBError* error) {
  if (error != nullptr) *error = NBError{};
}

SecItemDictionary baseQuery(const std::string& key, const std::string& serviceName) {
  SecItemDictionary query;
  query.itemClass = kSecClassGenericPassword;
  query.account = key;
  query.service = serviceName;
  return query;
}

}  // namespace

std::optional<std::string> KeychainUtils::getValueForKey(
    const std::optional<std::string>& key, const std::optional<std::string>& serviceName,
    NBError* error) {
  if (!key || !serviceName) {
    setError(error, kMissingArgumentError);
    return std::nullopt;
  }
  clearError(error);

  SecItemDictionary exists = baseQuery(*key, *serviceName);
  exists.returnAttributes = true;
  const OSStatus found = SecItemCopyMatching(exists, nullptr);
  if (found == errSecItemNotFound) return std::nullopt;
  if (found != errSecSuccess) {
    setError(error, found);
    return std::nullopt;
  }

  SecItemDictionary dataQuery = baseQuery(*key, *serviceName);
  dataQuery.returnData = true;
  SecItemResult result;
  const OSStatus read = SecItemCopyMatching(dataQuery, &result);
  if (read != errSecSuccess) {
    setError(error, read == errSecItemNotFound ? kUnreadableValueError : read);
    return std::nullopt;
  }
  if (!result.valueData) {
    setError(error, kUnreadableValueError);
    return std::nullopt;
  }
  return result.valueData;
}

bool KeychainUtils::storeKey(const std::optional<std::string>& key,
                             const std::optional<std::string>& value,
                             const std::optional<std::string>& serviceName, bool updateExisting,
                             NBError* error) {
  if (!key || !value || !serviceName) {
    setError(error, kMissingArgumentError);
    return false;
  }
  NBError local;
  const auto existing = getValueForKey(key, serviceName, &local);
  // An item whose value cannot be read is replaced by a fresh one.
  if (local.code == kUnreadableValueError) deleteForKey(key, serviceName, &local);
  if (local.code != 0) {
    if (error != nullptr) *error = local;
    return false;
  }
  clearError(error);

  OSStatus status;
  if (existing) {
    if (*existing == *value || !updateExisting) return true;
    SecItemDictionary match = baseQuery(*key, *serviceName);
    match.label = serviceName;
    SecItemDictionary change;
    change.valueData = value;
    status = SecItemUpdate(match, change);
  } else {
    SecItemDictionary item = baseQuery(*key, *serviceName);
    item.label = serviceName;
    item.valueData = value;
    status = SecItemAdd(item);
    // Another writer (a thread or a process) added it since the read above:
    // treat it as the existing item it now is, instead of failing the store.
    if (status == errSecDuplicateItem) {
      if (!updateExisting) return true;
      SecItemDictionary match = baseQuery(*key, *serviceName);
      match.label = serviceName;
      SecItemDictionary change;
      change.valueData = value;
      status = SecItemUpdate(match, change);
    }
  }
  if (status != errSecSuccess) {
    setError(error, status);
    return false;
  }
  return true;
}

bool KeychainUtils::deleteForKey(const std::optional<std::string>& key,
                                 const std::optional<std::string>& serviceName, NBError* error) {
  if (!key || !serviceName) {
    setError(error, kMissingArgumentError);
    return false;
  }
  clearError(error);
  SecItemDictionary query = baseQuery(*key, *serviceName);
  query.returnAttributes = true;
  const OSStatus status = SecItemDelete(query);
  if (status != errSecSuccess) {
    setError(error, status);
    return false;
  }
  return true;
}

}  // namespace nb
