// nb: the library's operations for a person at a terminal. Every operation runs
// on the main run loop, which this thread owns.
#include <openssl/crypto.h>

#include <iostream>

#include "cli/CommandTable.h"
#include "nb/platform/RunLoop.h"

int main(int argc, char** argv) {
  // OpenSSL's clean-up at exit frees its tables one by one, which costs a
  // short command a good part of its time; the process is ending anyway.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  nb::RunLoop::main();  // this thread's loop becomes the main one
  return nb::cli::CommandTable::main(argc, argv, std::cout, std::cerr);
}
