// `nb login --window` and `nb register --window`: the library's sign-in
// screens in a real window. They store the sign-in like `nb login` does. The
// screens run in nb-window, a program beside nb, so that nb itself links no
// drawing or window library.
#pragma once

#include <string>

#include "cli/CommandContext.h"
#include "nb/Status.h"

namespace nb::cli {

// Shows the login screen (or the registration screen), with `user` filled in
// when given, until the user has signed in (ok) or closed the window (a
// failure, as nb-window reported it). Without a display, or in a build
// without nb-window, an unavailable Status (exit code 7).
Status runWindowSignIn(CommandContext& context, bool registration, const std::string& user);

}  // namespace nb::cli
