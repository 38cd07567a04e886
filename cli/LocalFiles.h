// Local files the command writes, written so that nothing of the user's is
// damaged: a download goes to a hidden temporary file beside its target and
// replaces the target only once the whole body is there and flushed; an input
// that cannot be sent from where it is (stdin, a pipe, a /proc file) is spooled
// to a private temporary file first. Partial files are removed when their
// owner drops them, and on SIGINT, SIGTERM or SIGHUP. Errors carry the real
// errno text. Partial files may be made on any thread, each used by one
// thread at a time; the signal handler only unlinks and exits.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "nb/Status.h"

namespace nb::cli {

class PartialFile {
 public:
  // A new empty file ".<name>.nb-XXXXXX" in the folder of `target`, made with
  // `mode` less the umask (never more open than that while its bytes arrive),
  // so that committing it with the same mode costs no change of mode.
  static Result<std::unique_ptr<PartialFile>> beside(const std::string& target, mode_t mode = 0600);
  // A new empty private file in the temporary folder ($TMPDIR, else /tmp).
  static Result<std::unique_ptr<PartialFile>> temporary();
  ~PartialFile();  // removes the file unless it was committed
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  std::uint64_t size() const { return size_; }

  // Appends `bytes`; a failure names the file and the cause.
  Status write(std::string_view bytes);
  // Whether commit() waits for the bytes to reach the disk. A job of many
  // files commits each with kLater and flushes their file systems once at its
  // end (syncfs), instead of stalling every file on its own fsync.
  enum class Flush { kNow, kLater };

  // Flushes to disk (kNow) and closes; the file stays until destruction.
  Status close(Flush flush = Flush::kNow);
  // Flushes (kNow), gives the file `mode`, closes and renames it onto `target`.
  // The rename alone already keeps an interrupted job's partial bytes from
  // ever standing under `target`.
  Status commit(const std::string& target, mode_t mode, Flush flush = Flush::kNow);

 private:
  PartialFile(std::string path, int fd, int slot, mode_t mode);
  // Creates the file from a pattern ending in XXXXXX (each X a random letter
  // or digit) with `mode` less the umask; `what` leads its error text.
  static Result<std::unique_ptr<PartialFile>> create(std::string pattern, const std::string& what,
                                                     mode_t mode);
  std::string path_;
  int fd_ = -1;
  int slot_ = -1;  // in the interrupt clean-up list
  std::uint64_t size_ = 0;
  mode_t mode_;  // the mode the file was made with
  bool committed_ = false;
};

// Where a download lands, and the mode it gets.
struct DownloadTarget {
  std::string path;
  mode_t mode = 0644;
};

class LocalFiles {
 public:
  // Installs the SIGINT/SIGTERM/SIGHUP handler that removes partial files and
  // exits with 128 + the signal. Idempotent.
  static void removePartialFilesOnInterrupt();
  // Holds the interrupt signals back from the calling thread for good, so that
  // they reach the others: for a helper thread that makes many partial files
  // (each is then made without changing the thread's signal mask twice). Some
  // other thread must leave them open.
  static void keepInterruptsOffThisThread();

  // Checks a download target: a folder receives `name` inside it; a symbolic
  // link is followed; an existing file without write permission is refused
  // unless `force`. The mode is the existing file's, else 0666 less the umask.
  static Result<DownloadTarget> downloadTarget(const std::string& local, const std::string& name,
                                               bool force);

  // Writes all of `bytes` to `fd`; `what` names the destination in errors.
  static Status writeAll(int fd, std::string_view bytes, const std::string& what);

  // Whether `path` must be spooled before an upload: anything but a regular
  // file with a size (pipes, terminals, /proc and /sys files).
  static Result<bool> needsSpool(const std::string& path);
  // Reads `fd` (named `what` in errors) to its end into a private temporary file.
  static Result<std::unique_ptr<PartialFile>> spool(int fd, const std::string& what);
};

}  // namespace nb::cli
