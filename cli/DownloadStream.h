// DownloadStream fetches one stored file and writes its bytes to a file
// descriptor as they arrive (a partial file beside the target, or stdout), so
// nothing is kept in memory or under the home folder. A file's bytes are
// started on their way to disk every 8 MiB (without waiting), so that a flush
// at the end finds little left to write. The request is the library's
// download request, signed with the stored consumer and token, and runs on
// the main run loop. Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "nb/Status.h"

namespace nb {
class URLConnection;
}

namespace nb::cli {

class ProgressBar;

class DownloadStream {
 public:
  // Byte counts so far and expected (negative when unknown).
  using Progress = std::function<void(std::uint64_t received, std::int64_t expected)>;
  // The outcome: ok means every announced byte was written to the descriptor.
  using Done = std::function<void(const Status& status, std::uint64_t received)>;

  // Gives the descriptor the bytes go to; asked once, when the service has
  // accepted the request (before its first byte is written), so that a caller
  // may make the file while the request is on its way. A failure ends the
  // transfer with that status.
  using Open = std::function<Result<int>()>;

  // What bounds the bytes accepted: the length the reply announces, else the
  // file's size as listed. More bytes than that fail the transfer (a reply
  // could otherwise run on until the disk is full). With `requireLength`, a
  // reply that announces no length and meets no listed size stops at once.
  struct Bound {
    std::optional<std::uint64_t> listedSize;
    bool requireLength = false;
  };
  // The file's listed size, asked for when a reply announces no length.
  using SizeLookup = std::function<Result<std::uint64_t>()>;

  // Starts streaming `root`/`path` into `fd` (named `what` in errors) and
  // returns at once; `done` is called exactly once on the main run loop,
  // unless cancel() came first. `idleLimit` bounds the wait for any sign of life.
  static std::shared_ptr<DownloadStream> start(const std::string& root, const std::string& path,
                                               int fd, const std::string& what,
                                               std::chrono::seconds idleLimit, Bound bound,
                                               Progress progress, Done done);
  // Sees the file's bytes once they are written, in order (to hash them).
  using Bytes = std::function<void(std::string_view bytes)>;

  // The same, the descriptor asked of `open`; `bytes`, when given, sees each
  // chunk written.
  static std::shared_ptr<DownloadStream> start(const std::string& root, const std::string& path,
                                               Open open, const std::string& what,
                                               std::chrono::seconds idleLimit, Bound bound,
                                               Progress progress, Done done, Bytes bytes = nullptr);
  // Stops the transfer; `done` is not called.
  virtual void cancel() = 0;
  // Whether the transfer stopped because the reply announced no length and
  // none was listed (Bound::requireLength).
  virtual bool lengthUnknown() const = 0;
  virtual ~DownloadStream() = default;

  // Streams and runs the main loop until the outcome; `received` (may be null)
  // gets the byte count. When the reply announces no length, `lookUpSize`
  // (when given) is asked for the file's listed size, and the download runs
  // again bounded by it; without it, such a reply is read to its end.
  static Status run(const std::string& root, const std::string& path, int fd,
                    const std::string& what, ProgressBar* progress, std::chrono::seconds idleLimit,
                    std::uint64_t* received, const SizeLookup& lookUpSize = nullptr);

 private:
  static Status runOnce(const std::string& root, const std::string& path, int fd,
                        const std::string& what, ProgressBar* progress,
                        std::chrono::seconds idleLimit, Bound bound, std::uint64_t* received,
                        bool* lengthUnknown);
};

}  // namespace nb::cli
