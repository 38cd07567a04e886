// CommandTable holds nb's sub-commands, one entry each (name, help, the
// declaration of its own options and its run), and runs a whole command line.
// Main thread only.
#pragma once

#include <iosfwd>
#include <span>
#include <string_view>

#include "cli/Command.h"

namespace nb::cli {

class CommandTable {
 public:
  static std::span<const CommandEntry> commands();
  // The entry named `name`, or null.
  static const CommandEntry* find(std::string_view name);
  // Parses argv, runs the sub-command on the main run loop and prints its
  // result or failure; the process exit code.
  static int main(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
};

}  // namespace nb::cli
