// NBToken is an OAuth token pair: a request token or an access token. Immutable
// once made. It is also the success result of the login operations, hence a record.
#pragma once

#include <optional>
#include <string>

#include "nb/Private/NBRecord.h"

namespace nb {

struct NBToken : NBRecord {
  NBToken(std::optional<std::string> token, std::optional<std::string> secret)
      : token(std::move(token)), tokenSecret(std::move(secret)) {}

  const std::optional<std::string> token;
  const std::optional<std::string> tokenSecret;
};

}  // namespace nb
