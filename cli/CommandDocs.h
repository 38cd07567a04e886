// CommandDocs writes nb's manual page and its shell completions from the same
// declarations that parse the command line (CommandLine::declareAll), so that
// neither can fall out of step with the options. Main thread.
#pragma once

#include <string>
#include <string_view>

#include "cli/Command.h"
#include "nb/Status.h"

namespace nb::cli {

class CommandDocs {
 public:
  // The completion script for `shell` ("bash", "zsh" or "fish").
  static Result<std::string> completion(std::string_view shell);
  // The manual page nb(1), in roff.
  static std::string manPage();
};

// `nb completion SHELL` and `nb man`: print the script or the page.
CommandRun declareCompletion(CLI::App& sub);
CommandRun declareManual(CLI::App& sub);

}  // namespace nb::cli
