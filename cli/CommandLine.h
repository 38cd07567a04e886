// CommandLine turns argv into the command to run: the global options and the
// sub-command of CommandTable with its own options bound, with --help text
// and validation. Help goes to `out`; usage errors are printed on `err`, or as
// one JSON error on `out` when --json is among the arguments. Main thread.
#pragma once

#include <iosfwd>
#include <string>

#include "cli/Command.h"

namespace nb::cli {

struct ParsedCommandLine {
  GlobalOptions globals;
  std::string command;  // the sub-command's name
  CommandRun run;       // set when the sub-command should run
  int exitCode = 0;     // otherwise: 0 after --help or --version, kExitUsage on errors
};

class CommandLine {
 public:
  static ParsedCommandLine parse(int argc, const char* const* argv, std::ostream& out,
                                 std::ostream& err);
};

}  // namespace nb::cli
