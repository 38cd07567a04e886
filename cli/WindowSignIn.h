// `nb login --window` and `nb register --window`: the library's sign-in
// screens in a real window. They store the sign-in like `nb login` does.
#pragma once

#include "cli/CommandContext.h"

namespace nb::cli {

// Shows the login screen (or the registration screen) until the user has
// signed in (0) or closed the window (1). Without a display, or in a build
// without the visual library, exit code 7.
int runWindowSignIn(CommandContext& context, bool registration);

}  // namespace nb::cli
