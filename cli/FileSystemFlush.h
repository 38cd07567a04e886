// FileSystemFlush brings the files of a job to disk: one syncfs per file
// system at the end instead of one fsync per file. Each file system is
// flushed through a descriptor taken before the job's first write there, so
// that a write-back error at any time during the job is reported (the kernel
// reports such an error only to descriptors opened before it). While the job
// runs, a thread of its own flushes now and then what has been committed, so
// that the last flush finds little left to write. Owner's thread only.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "nb/Status.h"

namespace nb::cli {

class FileSystemFlush {
 public:
  FileSystemFlush() = default;
  ~FileSystemFlush();  // waits for a flush under way; closes the descriptors
  FileSystemFlush(const FileSystemFlush&) = delete;
  FileSystemFlush& operator=(const FileSystemFlush&) = delete;

  // Notes a file about to be written, by its open descriptor: the first on a
  // file system is kept (duplicated) to flush that file system. Its device.
  Result<dev_t> watch(int fd);
  // The same, for a file whose device is known.
  void watch(int fd, dev_t device);
  // Notes `bytes` of a file on `device` done (renamed into place); from time
  // to time this starts a flush of that file system in the background.
  void committed(dev_t device, std::uint64_t bytes);
  // Flushes every watched file system once more (after any flush under way):
  // the outcome per device, failed where this or an earlier flush failed.
  std::map<dev_t, Status> finish();

 private:
  void work();

  struct FileSystem {
    int fd = -1;
    int error = 0;                   // why there is no descriptor
    std::uint64_t pendingBytes = 0;  // committed since the last flush was asked
    int pendingFiles = 0;
  };
  std::map<dev_t, FileSystem> systems_;  // the owner's thread only
  std::mutex mutex_;
  std::condition_variable changed_;
  std::set<int> asked_;             // descriptors to flush; guarded by mutex_
  std::map<int, Status> failures_;  // guarded by mutex_
  bool busy_ = false;               // a flush is under way; guarded by mutex_
  bool stopping_ = false;           // guarded by mutex_
  std::thread thread_;              // started with the first background flush
};

}  // namespace nb::cli
