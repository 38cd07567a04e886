// Local files the command writes, written so that nothing of the user's is
// damaged: a download goes to a hidden temporary file beside its target and
// replaces the target only once the whole body is there and flushed; an input
// that cannot be sent from where it is (stdin, a pipe, a /proc file) is spooled
// to a private temporary file first. Partial files are made and renamed inside
// their folder's handle, locked while their writer lives, and removed when
// their owner drops them, on SIGINT, SIGTERM or SIGHUP, or by a later run once
// their writer is gone. Errors carry the real errno text. Partial files may be
// made on any thread, each used by one thread at a time; the signal handler
// only unlinks and exits.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "nb/Status.h"

namespace nb::cli {

// An open folder that files are made in. The folder itself may have been
// reached through a symbolic link (the user named it); every path below it is
// resolved beneath its handle without following any link, so that a link
// inside it, planted or not, never sends a write elsewhere. Immutable: shared
// by the threads of one job.
class FolderHandle {
 public:
  // Opens the folder `path`, following links; with `create`, makes it and its
  // missing parents first.
  static Result<std::shared_ptr<const FolderHandle>> open(const std::string& path, bool create);
  ~FolderHandle();
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }  // as named, for messages

  // The folder `relative` ("a/b"; empty is this one) below this one. A link,
  // a file or nothing where a folder should be is an error naming it; with
  // `create`, missing folders are made.
  Result<std::shared_ptr<const FolderHandle>> below(const std::string& relative,
                                                    bool create = false) const;

 private:
  FolderHandle(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::string path_;
};

class PartialFile {
 public:
  // A new empty file ".<name>.nb-XXXXXX" in the folder of `target`, made with
  // `mode` less the umask (never more open than that while its bytes arrive),
  // so that committing it with the same mode costs no change of mode. The
  // folder is opened following links; stale partial files of `target` that a
  // crashed run left there are removed first.
  static Result<std::unique_ptr<PartialFile>> beside(const std::string& target, mode_t mode = 0600);
  // The same for the target `name` inside `folder`, without that clean-up.
  static Result<std::unique_ptr<PartialFile>> in(std::shared_ptr<const FolderHandle> folder,
                                                 const std::string& name, mode_t mode);
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
  // Gives the file this modification time (seconds since the epoch).
  Status setModifyTime(long long seconds);
  // Flushes (kNow), gives the file `mode`, closes and renames it onto its
  // target, inside the folder's handle. The rename alone already keeps an
  // interrupted job's partial bytes from ever standing under the target.
  Status commit(mode_t mode, Flush flush = Flush::kNow);

  // Removes the partial files of the targets `names` in `folder` that no
  // living writer holds (a writer keeps its file locked): what a crashed run
  // left behind. Two runs never remove each other's files.
  static void removeStale(const FolderHandle& folder, const std::set<std::string>& names);
  // Removes the partial file `name` in `folder` if no living writer holds it.
  static void removeIfStale(const FolderHandle& folder, const std::string& name);
  // Whether `name` has the form of a partial file (".<name>.nb-XXXXXX"):
  // never a user's file to send.
  static bool isPartialName(std::string_view name);

 private:
  PartialFile(std::shared_ptr<const FolderHandle> folder, std::string name, std::string target,
              int fd, int slot, mode_t mode);
  // Creates and locks the file `stem` + XXXXXX (each X a random letter or
  // digit) in `folder` with `mode` less the umask; its target is `target`.
  static Result<std::unique_ptr<PartialFile>> create(std::shared_ptr<const FolderHandle> folder,
                                                     const std::string& stem, std::string target,
                                                     mode_t mode);
  std::shared_ptr<const FolderHandle> folder_;
  std::string name_;    // in folder_
  std::string target_;  // the name it is committed under, in folder_
  std::string path_;
  int fd_ = -1;
  int slot_ = -1;  // in the interrupt clean-up list
  std::uint64_t size_ = 0;
  mode_t mode_;  // the mode the file was made with
  bool committed_ = false;
};

// Where a download lands, and the mode it gets.
struct DownloadTarget {
  std::string path;  // as shown to the user
  mode_t mode = 0644;
  // For a target checked inside a folder's handle (LocalFiles::targetIn):
  // that folder and the target's name in it.
  std::shared_ptr<const FolderHandle> folder = {};
  std::string name = {};
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
  // Checks the target `name` inside `folder` (shown as `shown`), never
  // following a link: a link or a folder in the way is refused and left as
  // it is; an existing file is treated as by downloadTarget.
  static Result<DownloadTarget> targetIn(std::shared_ptr<const FolderHandle> folder,
                                         const std::string& name, const std::string& shown,
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
