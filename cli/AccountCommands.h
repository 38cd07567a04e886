// The account sub-commands of nb: login, logout, register and info. Each takes
// the command run's context and returns the process exit code.
#pragma once

namespace nb::cli {

class CommandContext;

int runLogin(CommandContext& context);
int runLogout(CommandContext& context);
int runRegister(CommandContext& context);
int runInfo(CommandContext& context);

}  // namespace nb::cli
