// NBAPIInfo is the process-wide holder of the consumer and access token that
// sign file operations. instance() creates it once and, on every call, reloads
// the pair from the keychain (service: the web host) unless both are held.
// clearAuthInfo() empties it so that the next instance() picks up what was
// just stored. Any thread: creation is once-guarded and the state is locked.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "nb/Private/NBConsumer.h"
#include "nb/Private/NBToken.h"

namespace nb {

class NBAPIInfo {
 public:
  static NBAPIInfo& instance();

  // The keychain accounts of the stored credentials, under the web host's
  // service name. Sign-in code writes them; initAuthInfo() reads them.
  static constexpr const char* kConsumerKey = "ConsumerKey";
  static constexpr const char* kConsumerSecretKey = "ConsumerSecretKey";
  static constexpr const char* kTokenKey = "TokenKey";
  static constexpr const char* kTokenSecretKey = "TokenSecretKey";

  NBAPIInfo(const NBAPIInfo&) = delete;
  NBAPIInfo& operator=(const NBAPIInfo&) = delete;

  // Loads "ConsumerKey", "ConsumerSecretKey", "TokenKey" and "TokenSecretKey"
  // unless a consumer key and a token are both held. Keychain errors count as
  // absent values; a part found alone is kept (its secret may be nil).
  void initAuthInfo();
  // Forgets both; the keychain is not touched.
  void clearAuthInfo();

  std::shared_ptr<NBConsumer> consumer() const;
  void setConsumer(std::shared_ptr<NBConsumer> consumer);
  std::shared_ptr<NBToken> token() const;
  void setToken(std::shared_ptr<NBToken> token);

  // Whether file calls travel over HTTPS to the same hosts, signed for the
  // https URL, instead of the service's plain HTTP (readable and answerable
  // by anyone on the path). Off by default, as the service's peers and stored
  // URLs expect. Process-wide and safe from any thread; requests already
  // made keep their scheme. Upload nodes named by the service are then
  // reached over HTTPS as well.
  static void setSecureFileCalls(bool secure);
  static bool secureFileCalls();
  // The scheme that file calls' URLs start with: "https://" or "http://".
  static const char* fileCallScheme();

 private:
  NBAPIInfo();
  ~NBAPIInfo();

  static std::atomic<bool> secureFileCalls_;

  mutable std::mutex mutex_;
  std::shared_ptr<NBConsumer> consumer_;
  std::shared_ptr<NBToken> token_;
};

}  // namespace nb
