// NBCredentialSource is where a file operation takes the consumer and access
// token that sign it. The default source is NBAPIInfo (the keychain, reloaded as
// NBAPIInfo does); an application, or a client object of its own, may hand an
// operation a fixed pair instead and leave the keychain untouched.
// Sources are shared, immutable from the outside and safe to read from any thread.
#pragma once

#include <memory>
#include <optional>

#include "nb/Private/NBConsumer.h"
#include "nb/Private/NBToken.h"

namespace nb {

class NBCredentialSource {
 public:
  virtual ~NBCredentialSource() = default;
  // The consumer, or null when none is known.
  virtual std::shared_ptr<NBConsumer> consumer() const = 0;
  // The access token, or null when none is stored (file operations then stay silent).
  virtual std::shared_ptr<NBToken> token() const = 0;

  // NBAPIInfo::instance(), read at each call.
  static std::shared_ptr<NBCredentialSource> keychain();
  // A fixed consumer and optional token.
  static std::shared_ptr<NBCredentialSource> fixed(NBConsumer consumer,
                                                   std::optional<NBToken> token);
};

}  // namespace nb
