// The mount in a build without libfuse3.
#include "cli/mount/FuseSession.h"

namespace nb::cli::mount {

Status FuseSession::run(MountFileSystem&, const std::string&, const std::string&) {
  return Status(StatusCode::kUnavailable,
                "nb mount is not available in this build (built without libfuse3)");
}

int FuseSession::signalsReceived() { return 0; }

}  // namespace nb::cli::mount
