// NBConsumer is the application's OAuth consumer credential pair. Immutable once
// made: a new pair means a new object. Either value may be absent (nil is stored).
#pragma once

#include <optional>
#include <string>

namespace nb {

struct NBConsumer {
  NBConsumer(std::optional<std::string> key, std::optional<std::string> secret)
      : key(std::move(key)), secret(std::move(secret)) {}

  const std::optional<std::string> key;
  const std::optional<std::string> secret;
};

}  // namespace nb
