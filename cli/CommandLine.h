// CommandLine turns argv into CommandOptions: the whole sub-command tree of nb
// with every flag, its validation and its --help text. Printing of help and of
// usage errors goes to the streams given. Stateless; any thread.
#pragma once

#include <iosfwd>
#include <optional>

#include "cli/CommandOptions.h"

namespace nb::cli {

struct ParsedCommandLine {
  std::optional<CommandOptions> options;  // set when a sub-command should run
  int exitCode = 0;                       // otherwise: 0 after --help, kExitUsage on errors
};

class CommandLine {
 public:
  static ParsedCommandLine parse(int argc, const char* const* argv, std::ostream& out,
                                 std::ostream& err);
};

}  // namespace nb::cli
