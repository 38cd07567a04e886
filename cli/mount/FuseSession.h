// FuseSession mounts a MountFileSystem with the kernel's FUSE and serves it
// until the file system is unmounted (fusermount3 -u, nb unmount) or the
// process gets SIGINT, SIGTERM or SIGHUP; requests are served on several
// threads at once. Built with libfuse3 where it was found; elsewhere run()
// says the mount is not available in this build. Main thread.
#pragma once

#include <string>

#include "nb/Status.h"

namespace nb::cli::mount {

class MountFileSystem;

class FuseSession {
 public:
  // Serves `fs` at `mountpoint` until it is unmounted; ok when it ended
  // normally. `name` shows as the file system's source in the mount table.
  static Status run(MountFileSystem& fs, const std::string& mountpoint, const std::string& name);
  // Interrupting signals received since run() began; from the second on,
  // whoever waits after the mount gives up waiting.
  static int signalsReceived();
};

}  // namespace nb::cli::mount
