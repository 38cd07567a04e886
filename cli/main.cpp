// nb: the library's operations for a person at a terminal. Every operation runs
// on the main run loop, which this thread owns.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <iostream>

#include "cli/CommandTable.h"
#include "nb/platform/RunLoop.h"

int main(int argc, char** argv) {
  // The access token's and the consumer's secrets sit in many copies on the
  // heap (strings, the signing code, the keychain's buffers): marking pages
  // one by one would miss some, so the whole process is kept out of core
  // dumps, and other processes of the user may not attach to it either.
  ::prctl(PR_SET_DUMPABLE, 0);
  // A standard stream started closed (`nb info >&-`) is held by /dev/null,
  // read-only: no file the command opens may take its number and receive
  // its text, and writing to it fails as it should.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0) ::open("/dev/null", O_RDONLY);
  }
  // OpenSSL's clean-up at exit frees its tables one by one, which costs a
  // short command a good part of its time; the process is ending anyway.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  nb::RunLoop::main();  // this thread's loop becomes the main one
  return nb::cli::CommandTable::main(argc, argv, std::cout, std::cerr);
}
