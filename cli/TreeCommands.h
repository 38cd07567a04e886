// The sub-commands of nb that read or change the storage tree: ls, mkdir, rm,
// mv, cp, copyref, share and history. Each declaration binds the command's own
// options on its parser and returns the code that runs with them.
#pragma once

#include "cli/Command.h"

namespace nb::cli {

CommandRun declareList(CLI::App& sub);
CommandRun declareMakeFolder(CLI::App& sub);
CommandRun declareRemove(CLI::App& sub);
CommandRun declareMove(CLI::App& sub);
CommandRun declareCopy(CLI::App& sub);
CommandRun declareCopyRef(CLI::App& sub);
CommandRun declareShare(CLI::App& sub);
CommandRun declareHistory(CLI::App& sub);

}  // namespace nb::cli
