// A cheap look at a reply body before the service-error check parses it.
#pragma once

#include <string_view>

namespace nb {

// False only when `body` certainly carries no top-level "msg" other than "ok",
// so that parsing it to look for one can be skipped: the body spells "msg" in
// no key (most of the service's successful replies), or spells it only once,
// as the first member, with the value "ok". Any "\u" escape could spell "msg"
// another way, so a body with one always needs the parse.
bool mayCarryServiceMessage(std::string_view body);

}  // namespace nb
