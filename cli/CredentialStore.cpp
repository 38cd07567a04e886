#include "cli/CredentialStore.h"

#include <cstdio>

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBSignInStore.h"
#include "nb/platform/DataHome.h"
#include "nb/platform/SecItem.h"

namespace nb::cli {
std::optional<std::string> CredentialStore::storeTokenAndConsumer(const NBToken& token,
                                                                  const NBConsumer& consumer) {
  const Status status = NBSignInStore::storeTokenAndConsumer(token, consumer);
  if (status.ok()) return std::nullopt;
  return status.message();
}

std::vector<std::string> CredentialStore::makeStorePrivate() {
  const auto store = SecKeychainCurrentStore();
  if (!store.ok() || store->name != "file") return {};
  std::vector<std::string> sentences;
  for (const DataHome::Narrowed& narrowed : DataHome::makePrivate(store->location)) {
    char modes[64];
    std::snprintf(modes, sizeof modes, "%04o; it is now %04o", narrowed.before, narrowed.after);
    sentences.push_back(narrowed.path + " was open to other users (" + modes + ")");
  }
  return sentences;
}

void CredentialStore::clearAuthInfo() { NBSignInStore::clearAuthInfo(); }

bool CredentialStore::hasAccessToken() {
  const auto token = NBAPIInfo::instance().token();
  return token && token->token;
}

}  // namespace nb::cli
