// The sub-commands of nb that deal with the account: login, logout, register
// and info. Each declaration binds the command's own options on its parser and
// returns the code that runs with them (see Command.h).
#pragma once

#include "cli/Command.h"

namespace nb::cli {

CommandRun declareLogin(CLI::App& sub);
CommandRun declareLogout(CLI::App& sub);
CommandRun declareRegister(CLI::App& sub);
CommandRun declareInfo(CLI::App& sub);

}  // namespace nb::cli
