// NBSignInStore is the one place that stores and removes a sign-in: the access
// token and the application's consumer in the keychain under the web host's
// service name, in the order "TokenKey", "TokenSecretKey", "ConsumerKey",
// "ConsumerSecretKey", followed by an NBAPIInfo reset so that the next use
// reloads them. The sign-in screens and the nb command both call it.
// Stateless; use it from the thread that uses NBAPIInfo.
#pragma once

#include "nb/Private/NBConsumer.h"
#include "nb/Private/NBToken.h"
#include "nb/Status.h"

namespace nb {

class NBSignInStore {
 public:
  // Stores `token` and `consumer`, replacing earlier values, then resets
  // NBAPIInfo. A token without its token string is refused before anything
  // is written (invalid_argument); a keychain refusal stops at that item
  // (io_error naming it). An absent secret is stored as empty text, so that
  // an earlier sign-in's secret cannot survive next to this one's token.
  static Status storeTokenAndConsumer(const NBToken& token, const NBConsumer& consumer);
  // Signs out: NBAPIInfo forgets its cached pair, then the four items are
  // deleted in the order above. Absent items are no error.
  static void clearAuthInfo();
  // Whether a token is stored for `consumerKey`: "TokenKey" has a value and
  // "ConsumerKey" equals the key.
  static bool isAlreadAuth(const std::optional<std::string>& consumerKey);
};

}  // namespace nb
