// The sub-commands of nb that move file contents: put, get, thumb and convert.
// put, get and convert draw a progress bar. Each takes the command run's
// context and returns the process exit code.
#pragma once

namespace nb::cli {

class CommandContext;

int runPut(CommandContext& context);
int runGet(CommandContext& context);
int runThumbnail(CommandContext& context);
int runConvert(CommandContext& context);

}  // namespace nb::cli
