// Uploader stores the files of the upload queue on a few threads of its own:
// a file is sent once it is due (the write-back delay after its last close)
// and nobody has it open for writing; a failure is tried again with growing
// pauses, and the file stays queued and cached until it is stored. A file
// whose stored copy changed on the service since it was cached is stored as
// a conflict copy beside it, so that neither change is lost. Namespace
// changes hold a path (hold()) so that no upload of it runs meanwhile.
// Owned by the mount; its methods may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/mount/RemoteFolder.h"
#include "cli/mount/UploadQueue.h"

namespace nb::cli::mount {

class Uploader {
 public:
  // Whether `path` is open for writing now (then it is not sent yet).
  using Writing = std::function<bool(const std::string& path)>;
  // The cached copy of `path` was stored at `storedAs` (`path`, or its
  // conflict copy) as revision `version`.
  using Stored = std::function<void(const std::string& path, const std::string& storedAs,
                                    const std::string& version)>;

  // Failed attempts after which a file counts as failed: still queued and
  // retried, but an unmount no longer waits for it.
  static constexpr int kAttemptsBeforeFailed = 5;

  Uploader(UploadQueue& queue, const RemoteFolder& remote, std::string filesFolder, Writing writing,
           Stored stored, int threads = 4);
  ~Uploader();  // stops the threads after the uploads in flight
  Uploader(const Uploader&) = delete;
  Uploader& operator=(const Uploader&) = delete;

  // Something changed in the queue: look again.
  void wake();
  // From now on the write-back delay is not waited for (unmounting).
  void hurry();

  // Keeps uploads of `path` and of everything below it from starting, and
  // waits for those in flight; released when the Hold is destroyed.
  class Hold {
   public:
    Hold(Uploader& uploader, std::string path);
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    Uploader& uploader_;
    std::string path_;
  };

  // The queued files still to store, failed ones not counted.
  std::size_t waitingFor() const;

  static std::int64_t nowMs();
  // "/a/report (conflict 2026-12-11 093000).txt" for "/a/report.txt".
  static std::string conflictName(const std::string& path, time_t when);

 private:
  void work();
  // The next row to send, or none; marks it in flight.
  bool pick(QueuedUpload* row);
  void send(const QueuedUpload& row);
  // Where the row's bytes go: its path, or a conflict copy when the service's
  // file is no longer the one the changes started from.
  Result<std::string> destination(const QueuedUpload& row) const;
  bool held(const std::string& path) const;

  UploadQueue& queue_;
  const RemoteFolder& remote_;
  const std::string files_;
  Writing writing_;
  Stored stored_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::set<std::string> inFlight_;
  std::multiset<std::string> holds_;
  bool stopping_ = false;
  bool hurry_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace nb::cli::mount
