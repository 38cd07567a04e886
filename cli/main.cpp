// nb: the library's operations for a person at a terminal. Every operation runs
// on the main run loop, which this thread owns.
#include <iostream>

#include "cli/CommandTable.h"
#include "nb/platform/RunLoop.h"

int main(int argc, char** argv) {
  nb::RunLoop::main();  // this thread's loop becomes the main one
  return nb::cli::CommandTable::main(argc, argv, std::cout, std::cerr);
}
