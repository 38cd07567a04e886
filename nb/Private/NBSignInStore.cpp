#include "nb/Private/NBSignInStore.h"

#include "nb/Private/KeychainUtils.h"
#include "nb/Private/NBAPIInfo.h"
#include "nb/platform/NBError.h"
#include "nb/Private/NBHosts.h"
#include "nb/platform/SecItem.h"

namespace nb {

Status NBSignInStore::storeTokenAndConsumer(const NBToken& token, const NBConsumer& consumer) {
  if (!token.token) return Status::invalidArgument("the service sent no access token");
  const std::string& service = NBHosts::webHost();
  const std::pair<const char*, const std::optional<std::string>*> items[] = {
      {NBAPIInfo::kTokenKey, &token.token},
      {NBAPIInfo::kTokenSecretKey, &token.tokenSecret},
      {NBAPIInfo::kConsumerKey, &consumer.key},
      {NBAPIInfo::kConsumerSecretKey, &consumer.secret},
  };
  for (const auto& [key, value] : items) {
    NBError error;
    if (!KeychainUtils::storeKey(key, value->value_or(""), service, true, &error)) {
      const Status detail = SecItemLastStatus();
      return Status::ioError("could not store " + std::string(key) + " in the keychain (status " +
                             std::to_string(error.code) + ")" +
                             (detail.ok() ? "" : ": " + detail.message()));
    }
  }
  NBAPIInfo::instance().clearAuthInfo();
  return Status::OK();
}

void NBSignInStore::clearAuthInfo() {
  NBAPIInfo::instance().clearAuthInfo();
  const std::string& service = NBHosts::webHost();
  for (const char* key : {NBAPIInfo::kTokenKey, NBAPIInfo::kTokenSecretKey, NBAPIInfo::kConsumerKey,
                          NBAPIInfo::kConsumerSecretKey}) {
    KeychainUtils::deleteForKey(key, service, nullptr);
  }
}

bool NBSignInStore::isAlreadAuth(const std::optional<std::string>& consumerKey) {
  const std::string& service = NBHosts::webHost();
  const auto storedKey = KeychainUtils::getValueForKey(NBAPIInfo::kConsumerKey, service);
  const auto token = KeychainUtils::getValueForKey(NBAPIInfo::kTokenKey, service);
  return token.has_value() && storedKey.has_value() && consumerKey.has_value() &&
         *storedKey == *consumerKey;
}

}  // namespace nb
