#include "cli/CredentialStore.h"

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBSignInStore.h"

namespace nb::cli {
std::optional<std::string> CredentialStore::storeTokenAndConsumer(const NBToken& token,
                                                                  const NBConsumer& consumer) {
  const Status status = NBSignInStore::storeTokenAndConsumer(token, consumer);
  if (status.ok()) return std::nullopt;
  return status.message();
}

void CredentialStore::clearAuthInfo() { NBSignInStore::clearAuthInfo(); }

bool CredentialStore::hasAccessToken() {
  const auto token = NBAPIInfo::instance().token();
  return token && token->token;
}

}  // namespace nb::cli
