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
  // Declares every global option and every sub-command with all its options
  // on `app` (made with kDescription), bound to `globals` and to values the
  // declarations own: the whole command line, for the manual page and the
  // shell completions.
  static void declareAll(CLI::App& app, GlobalOptions& globals);
  static const char* const kDescription;
};

}  // namespace nb::cli
