// DownloadStream fetches one stored file and writes its bytes to a file
// descriptor as they arrive (a partial file beside the target, or stdout), so
// nothing is kept in memory or under the home folder. The request is the
// library's download request, signed with the stored consumer and token, and
// runs on the main run loop. Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "nb/Status.h"

namespace nb::cli {

class ProgressBar;

class DownloadStream {
 public:
  // Streams `root`/`path` into `fd` (named `what` in errors). A failure of the
  // service, the network or the local write comes back as a Status; ok means
  // every announced byte was written. `received` (may be null) gets the count.
  static Status run(const std::string& root, const std::string& path, int fd,
                    const std::string& what, ProgressBar* progress, std::chrono::seconds idleLimit,
                    std::uint64_t* received);
};

}  // namespace nb::cli
