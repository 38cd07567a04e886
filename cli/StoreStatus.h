// Where the nb command keeps its credentials: the line `nb login` and
// `nb whoami` show, and the whoami command itself. Stateless; main thread.
#pragma once

#include <string>

#include "cli/Command.h"

namespace nb::cli {

class CommandContext;

// "Credentials: Secret Service (the Secret Service's default collection)",
// "Credentials: file (/home/me/.local/share/nb/keychain.db)", or
// "Credentials: no usable store: <reason>".
std::string credentialStoreLine();

// `nb whoami`: whether an access token is stored, and where credentials live.
// Ok when signed in; an unauthenticated Status (exit 3) when not, also when no
// store can be reached, whose reason it prints.
CommandRun declareWhoami(CLI::App& sub);

}  // namespace nb::cli
