// CredentialStore keeps the signed-in state of the nb command the way the
// library's sign-in screens do: the access token and the application's consumer
// in the keychain under the web host's service name ("TokenKey",
// "TokenSecretKey", "ConsumerKey", "ConsumerSecretKey"), and NBAPIInfo told to
// reload them. Stateless; main thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "nb/Private/NBConsumer.h"
#include "nb/Private/NBToken.h"

namespace nb::cli {

class CredentialStore {
 public:
  // Stores `token` and `consumer`, replacing earlier values, then makes
  // NBAPIInfo reload. A token without its token string is refused (nothing is
  // written). Returns an error sentence, or nothing on success.
  static std::optional<std::string> storeTokenAndConsumer(const NBToken& token,
                                                          const NBConsumer& consumer);
  // Narrows the file store and its folder to their owner (0600, 0700) when
  // others may read them, before secrets are written: one sentence per change,
  // for the user. Nothing for the Secret Service.
  static std::vector<std::string> makeStorePrivate();
  // Signs out: NBAPIInfo forgets its cached pair and the four items are
  // deleted. Absent items are no error.
  static void clearAuthInfo();
  // Whether NBAPIInfo holds an access token to sign file operations with.
  static bool hasAccessToken();
};

}  // namespace nb::cli
