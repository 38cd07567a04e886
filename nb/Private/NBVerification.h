// NBVerification is a registration challenge: where its image is, its id and,
// once the user has typed it, the code. It is the success result of the
// verification-image operation and part of the registration item.
#pragma once

#include <optional>
#include <string>

#include "nb/Private/NBRecord.h"

namespace nb {

struct NBVerification : NBRecord {
  std::optional<std::string> urlString;   // address of the image (reply field "url")
  std::optional<std::string> authID;      // id of the challenge (reply field "authid")
  std::optional<std::string> verifiCode;  // the code the user typed; absent until set
};

}  // namespace nb
