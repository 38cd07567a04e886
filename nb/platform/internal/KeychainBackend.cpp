#include "nb/platform/internal/KeychainBackend.h"

#include <cstdlib>
#include <utility>

#include "nb/platform/internal/FileKeychain.h"
#include "nb/platform/internal/SecretServiceKeychain.h"

namespace nb::internal {
namespace {

// Moves every item of the file store into `target`, the file's value replacing
// one the target already holds (the file is only written while the target is
// out of reach, so its values are the newer ones). Each item leaves the file
// only once the target holds it; what fails to move stays where it was.
Status moveFileStoreInto(KeychainBackend& target) {
  if (!FileKeychain::exists()) return Status::OK();
  auto file = FileKeychain::open();
  if (!file.ok()) return file.status();
  SecItemDictionary everything;
  everything.itemClass = kSecClassGenericPassword;
  auto items = (*file)->find(everything, true);
  if (!items.ok()) return items.status();
  if (items->empty()) return Status::OK();
  for (const KeychainItem& item : *items) {
    Status added = target.add(item);
    if (added.code() == StatusCode::kAlreadyExists) {
      SecItemDictionary change;
      change.label = item.label;
      change.valueData = item.data.value_or("");
      auto updated = target.update(identityOf(item), change);
      added = updated.ok() ? Status::OK() : updated.status();
    }
    if (!added.ok()) {
      return Status(added.code(), "moving the credentials of " + FileKeychain::path() +
                                      " into the Secret Service: " + added.message());
    }
    auto removed = (*file)->remove(identityOf(item));
    if (!removed.ok()) return removed.status();
  }
  return (*file)->flush();
}

Result<std::unique_ptr<KeychainBackend>> openSecretService() {
  auto secretService = SecretServiceKeychain::open();
  if (!secretService.ok()) return secretService.status();
  if (Status moved = moveFileStoreInto(**secretService); !moved.ok()) return moved;
  return std::unique_ptr<KeychainBackend>(std::move(*secretService));
}

Result<std::unique_ptr<KeychainBackend>> openFile() {
  auto file = FileKeychain::open();
  if (!file.ok()) return file.status();
  return std::unique_ptr<KeychainBackend>(std::move(*file));
}

}  // namespace

SecItemDictionary identityOf(const KeychainItem& item) {
  SecItemDictionary d;
  d.itemClass = kSecClassGenericPassword;
  d.service = item.service;
  d.account = item.account;
  return d;
}

Result<std::unique_ptr<KeychainBackend>> openKeychainBackend() {
  const char* forced = std::getenv("NB_KEYCHAIN");
  const std::string mode = forced ? forced : "";
  if (mode == "file") return openFile();
  if (mode == "secret-service") {
    auto backend = openSecretService();
    if (!backend.ok()) {
      return Status(backend.status().code(),
                    "NB_KEYCHAIN=secret-service: " + backend.status().message());
    }
    return backend;
  }
  if (!mode.empty()) {
    return Status::invalidArgument("NB_KEYCHAIN must be \"secret-service\" or \"file\", not \"" +
                                   mode + "\"");
  }
  // No choice made: the Secret Service when the session bus clearly offers one.
  // A bus that does not answer in time is an error, not a reason to write the
  // secrets somewhere else.
  if (!SecretServiceKeychain::sessionBusAddress()) return openFile();
  auto backend = openSecretService();
  if (!backend.ok() && backend.status().code() == StatusCode::kUnavailable) return openFile();
  return backend;
}

}  // namespace nb::internal
