// PartialFileMaker checks the targets of a job's downloads and makes their
// partial files ahead of need, in item order, on a thread of its own: making
// a file can take from 30 µs to over half a millisecond of the kernel's time,
// and the run loop that carries the transfers should not wait for it. It keeps
// at most `ahead` items ready beyond the last one asked for; the files it made
// and nobody took are removed when it is destroyed, and on an interrupt like
// every partial file. The targets lie below one folder and are resolved
// beneath its handle, never through a link (FolderHandle); stale partial files
// of the targets are cleared once per folder. Its owner's thread calls
// reach() and take().
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/LocalFiles.h"
#include "nb/Status.h"

namespace nb::cli {

class PartialFileMaker {
 public:
  // Where one download goes: `relative` below the maker's folder, shown as `local`.
  struct Entry {
    std::string local;
    std::string relative;
  };
  // One entry's outcome: the checked target, and its partial file. A refused
  // target leaves `status` with the reason and no file; a file that could not
  // be made leaves `status` with the reason and the target known.
  struct Prepared {
    Status status;
    DownloadTarget target;
    std::unique_ptr<PartialFile> file;
    dev_t device = 0;  // the file system the file is on
  };

  // `force` replaces read-only targets (LocalFiles::targetIn).
  PartialFileMaker(std::vector<Entry> entries, std::shared_ptr<const FolderHandle> folder,
                   bool force, std::size_t ahead);
  ~PartialFileMaker();  // stops the thread; files not taken are removed
  PartialFileMaker(const PartialFileMaker&) = delete;
  PartialFileMaker& operator=(const PartialFileMaker&) = delete;

  // Lets the maker go on up to `ahead` entries past `index`.
  void reach(std::size_t index);
  // Entry `index`'s target and file, waiting while they are being made. Once
  // per entry: a second call finds an empty file and the status of the first.
  Prepared take(std::size_t index);

 private:
  void work();
  // Entry `index`'s checked target and its partial file.
  Prepared prepare(std::size_t index);

  const std::vector<Entry> entries_;
  const std::shared_ptr<const FolderHandle> folder_;
  const bool force_;
  const std::size_t ahead_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Prepared> made_;  // guarded by mutex_, like the three below
  std::size_t madeCount_ = 0;   // entries [0, madeCount_) are in made_
  std::size_t limit_ = 0;       // the maker stops before this entry
  bool stopping_ = false;
  bool idle_ = false;  // the maker waits for the limit to move
  // The maker thread's own: the folder of the last entry, by relative path;
  // the names of the targets in each folder whose stale files are not yet cleared.
  std::map<std::string, std::set<std::string>> uncleared_;
  std::string parentPath_;
  Result<std::shared_ptr<const FolderHandle>> parent_ = Status::internal("no folder opened yet");
  std::thread thread_;  // last: starts once the rest is ready
};

}  // namespace nb::cli
