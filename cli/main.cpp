// nb: the library's operations for a person at a terminal.
#include <iostream>

#include "cli/CommandLine.h"
#include "cli/ExitCode.h"

int main(int argc, char** argv) {
  const nb::cli::ParsedCommandLine parsed =
      nb::cli::CommandLine::parse(argc, argv, std::cout, std::cerr);
  if (!parsed.options) return parsed.exitCode;
  std::cerr << "nb: " << parsed.options->command << " is not available in this build\n";
  return nb::cli::kExitUnavailable;
}
