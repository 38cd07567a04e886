// TransferQueue moves many files at once on the main run loop: up to
// `transfers` uploads or downloads in flight, each retried with exponential
// back-off after a network failure, a time-out or a server error (never after
// a refusal that would fail again), one progress line for the whole job.
// A failed file does not stop the others. Downloads go through partial files
// beside their targets, so an interrupted job leaves no partial file under a
// final name; the partial files are made ahead on a helper thread, strictly
// below the job's local folder (never through a link inside it). The job
// brings the files to disk once at its end (one syncfs per file system, with
// flushes in the background on the way) rather than stalling the run loop on
// an fsync per file, and a file is reported as transferred only after that.
// Main thread only; one run at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "nb/Status.h"

namespace nb::cli {

class FolderHandle;
class ProgressBar;

struct TransferItem {
  std::string local;   // the local file
  std::string remote;  // the remote path
  std::uint64_t size = 0;
  std::string relative = {};  // downloads: the file's path below TransferSettings::localFolder
  long long modifyTime = -1;  // downloads: the time to give the file (epoch seconds), if >= 0
};

// What a finished transfer learnt of its file.
struct TransferFacts {
  std::string sha256;  // of the bytes sent or received; empty when not known
  // Uploads: the stored file as the service's reply describes it.
  bool remoteKnown = false;
  std::uint64_t remoteSize = 0;
  std::string remoteTime;
  std::string remoteRev;
};

struct TransferSettings {
  std::string root = "app";
  int transfers = 8;
  int retries = 3;
  bool overwrite = false;                           // uploads: replace remote files
  bool force = false;                               // downloads: replace read-only local files
  std::shared_ptr<const FolderHandle> localFolder;  // downloads: where every file goes
  std::chrono::seconds idleLimit{120};
  std::chrono::milliseconds firstBackOff{500};
};

class TransferQueue {
 public:
  enum class Direction { kUpload, kDownload };

  TransferQueue(Direction direction, TransferSettings settings);
  // Transfers every item; the outcome of each, in item order. With `facts`,
  // each file's bytes are hashed on their way and what each transfer learnt
  // is put there, in item order.
  std::vector<Status> run(const std::vector<TransferItem>& items, ProgressBar* progress,
                          std::vector<TransferFacts>* facts = nullptr);

  // Whether a failure is worth another attempt: the network, a time-out or
  // the service's internal errors; refusals are not.
  static bool retryable(const Status& status);

 private:
  Direction direction_;
  TransferSettings settings_;
};

}  // namespace nb::cli
