// nb: the library's operations for a person at a terminal. Every operation runs
// on the main run loop, which this thread owns.
#include <iostream>

#include "cli/CommandLine.h"
#include "cli/CommandTable.h"
#include "cli/Printer.h"
#include "nb/platform/RunLoop.h"

int main(int argc, char** argv) {
  nb::RunLoop::main();  // this thread's loop becomes the main one
  const nb::cli::ParsedCommandLine parsed =
      nb::cli::CommandLine::parse(argc, argv, std::cout, std::cerr);
  if (!parsed.options) return parsed.exitCode;
  nb::cli::Printer printer(parsed.options->json, std::cout, std::cerr);
  return nb::cli::CommandTable::run(*parsed.options, printer);
}
