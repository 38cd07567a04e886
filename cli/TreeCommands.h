// The sub-commands of nb that read or change the storage tree: ls, mkdir, rm,
// mv, cp, copyref, share and history. Each takes the command run's context and
// returns the process exit code.
#pragma once

namespace nb::cli {

class CommandContext;

int runList(CommandContext& context);
int runMakeFolder(CommandContext& context);
int runRemove(CommandContext& context);
int runMove(CommandContext& context);
int runCopy(CommandContext& context);
int runCopyRef(CommandContext& context);
int runShare(CommandContext& context);
int runHistory(CommandContext& context);

}  // namespace nb::cli
