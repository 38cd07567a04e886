// CommandTable runs the sub-command named in the options, on the main run loop.
// Main thread only.
#pragma once

#include "cli/CommandOptions.h"
#include "cli/Printer.h"

namespace nb::cli {

class CommandTable {
 public:
  // The process exit code of the sub-command.
  static int run(const CommandOptions& options, Printer& printer);
};

}  // namespace nb::cli
