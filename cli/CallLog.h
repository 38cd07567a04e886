// CallLog shows the library's log records on stderr for `nb -v` (each call's
// outcome), `nb -vv` (every request and response too) and NB_LOG=LEVEL
// (error, warning, info or debug). One line per record, the URL's secrets
// already redacted by the library.
#pragma once

namespace nb::cli {

class CallLog {
 public:
  // Installs the stderr sink at the level `verbose` asks for (0: none) or,
  // when higher, the one NB_LOG names. Nothing is installed when both are off.
  static void install(int verbose);
};

}  // namespace nb::cli
