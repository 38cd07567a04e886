// NBRegisterOperationItem holds the parameters of an account registration: the
// user name and password of its base, the answered challenge and the device id.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "nb/Private/NBAuthOperationItem.h"
#include "nb/Private/NBVerification.h"

namespace nb {

struct NBRegisterOperationItem : NBAuthOperationItem {
  std::shared_ptr<NBVerification> verifi;  // the challenge with the typed code; may be absent
  std::optional<std::string> deviceID;     // required: the shared device identifier
};

}  // namespace nb
