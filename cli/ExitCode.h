// The nb command's exit codes, distinct per kind of failure so that scripts can
// tell a typo from a refused login from a network outage. Listed in `nb --help`.
#pragma once

namespace nb::cli {

enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,      // anything not covered below
  kExitUsage = 2,        // bad command line: unknown option, missing or invalid argument
  kExitNotSignedIn = 3,  // no consumer key/secret or no stored access token
  kExitService = 4,      // the service (or the transport) reported a failure
  kExitLocalFile = 5,    // a local file could not be read or written
  kExitTimeout = 6,      // no outcome within the time limit
  kExitUnavailable = 7,  // this build of the command cannot do that yet
};

// The help text's footer: the exit codes, and where the global options are told.
inline constexpr const char* kExitCodeHelp =
    "Global options (--root, --json, --consumer-key, --consumer-secret, --progress,\n"
    "--timeout) go before or after the sub-command; `nb --help` lists them.\n"
    "Exit codes: 0 ok, 1 other failure, 2 usage error, 3 not signed in or no consumer,\n"
    "4 service or network failure, 5 local file error, 6 time-out, 7 not available.";

}  // namespace nb::cli
