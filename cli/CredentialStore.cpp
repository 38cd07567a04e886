#include "cli/CredentialStore.h"

#include "nb/Private/KeychainUtils.h"
#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBError.h"
#include "nb/Private/NBHosts.h"
#include "nb/platform/SecItem.h"

namespace nb::cli {
std::optional<std::string> CredentialStore::storeTokenAndConsumer(const NBToken& token,
                                                                  const NBConsumer& consumer) {
  if (!token.token) return "the service sent no access token";
  const std::string& service = NBHosts::webHost();
  const std::pair<const char*, const std::optional<std::string>*> items[] = {
      {NBAPIInfo::kTokenKey, &token.token},
      {NBAPIInfo::kTokenSecretKey, &token.tokenSecret},
      {NBAPIInfo::kConsumerKey, &consumer.key},
      {NBAPIInfo::kConsumerSecretKey, &consumer.secret},
  };
  for (const auto& [key, value] : items) {
    NBError error;
    // An absent secret is stored as empty text, so that a later sign-in's value
    // cannot survive next to this one's.
    if (!KeychainUtils::storeKey(key, value->value_or(""), service, true, &error)) {
      const Status detail = SecItemLastStatus();
      return "could not store " + std::string(key) + " in the keychain (status " +
             std::to_string(error.code) + ")" + (detail.ok() ? "" : ": " + detail.message());
    }
  }
  NBAPIInfo::instance().clearAuthInfo();
  return std::nullopt;
}

void CredentialStore::clearAuthInfo() {
  NBAPIInfo::instance().clearAuthInfo();
  const std::string& service = NBHosts::webHost();
  for (const char* key : {NBAPIInfo::kTokenKey, NBAPIInfo::kTokenSecretKey, NBAPIInfo::kConsumerKey,
                          NBAPIInfo::kConsumerSecretKey}) {
    KeychainUtils::deleteForKey(key, service, nullptr);
  }
}

bool CredentialStore::hasAccessToken() {
  const auto token = NBAPIInfo::instance().token();
  return token && token->token;
}

}  // namespace nb::cli
