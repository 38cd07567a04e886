// NBAuthOperationItem holds the parameters of a password sign-in (xAuth login)
// and is the base of the registration item.
#pragma once

#include <optional>
#include <string>

#include "nb/Private/NBOperationItem.h"

namespace nb {

struct NBAuthOperationItem : NBOperationItem {
  std::optional<std::string> userName;    // the account name as typed
  std::optional<std::string> password;    // plain text; signed, sent in the body only
  std::optional<std::string> httpMethod;  // the method that is signed; callers set "POST"
};

}  // namespace nb
