#include "cli/mount/MountCommands.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "cli/CommandContext.h"
#include "cli/ExitCode.h"
#include "cli/Quantity.h"
#include "cli/mount/FuseSession.h"
#include "cli/mount/MountFileSystem.h"
#include "cli/mount/MountRegistry.h"
#include "cli/mount/RemoteFolder.h"
#include "cli/mount/UploadQueue.h"
#include "cli/mount/Uploader.h"

namespace nb::cli {
namespace {

using namespace mount;
using namespace std::chrono_literals;

struct MountOptions {
  std::vector<std::string> paths;
  std::string cacheDir;
  std::string dirCacheTime = "30s";
  std::string writeBack = "5s";
  std::string cacheMaxSize = "0";
  bool status = false;
  bool daemon = false;
};

std::string queueFile(const std::string& cacheFolder) { return cacheFolder + "/queue.db"; }

// Holds the cache folder for this process alone: two mounts sharing one
// queue would send each other's files.
Result<int> lockCacheFolder(const std::string& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  ::chmod(folder.c_str(), 0700);
  const std::string file = folder + "/lock";
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return Status::ioError("cannot use " + folder + ": " + std::strerror(errno));
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return Status::alreadyExists("the cache folder " + folder + " is in use by another mount");
  }
  return fd;
}

// Whether a mount holds the cache folder `folder` now.
bool mountRunning(const std::string& folder) {
  const int fd = ::open((folder + "/lock").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

std::string queueLine(const QueuedUpload& row) {
  if (row.attempts == 0) return "pending  " + Printer::visible(row.path);
  return "failed   " + Printer::visible(row.path) + " (" + std::to_string(row.attempts) +
         " attempts: " + Printer::visible(row.error) + ")";
}

Status showStatus(CommandContext& context, const std::string& mountpoint) {
  const auto record = MountRegistry::find(mountpoint);
  if (!record) return Status::notFound("no mount is known at " + mountpoint);
  auto queue = UploadQueue::open(queueFile(record->cacheFolder));
  if (!queue.ok()) return queue.status();
  const bool running = mountRunning(record->cacheFolder);
  JsonValue files = JsonValue::array();
  std::string text = (running ? "Mounted (process " + std::to_string(record->pid) + ")"
                              : std::string("Not mounted")) +
                     "; cache " + Printer::visible(record->cacheFolder) + "\n";
  const auto rows = (*queue)->rows();
  for (const QueuedUpload& row : rows) {
    JsonValue file = JsonValue::object();
    file.set("path", JsonValue(row.path));
    file.set("state", JsonValue(row.attempts == 0 ? "pending" : "failed"));
    file.set("attempts", JsonValue(row.attempts));
    file.set("error", JsonValue(row.error));
    files.push(std::move(file));
    text += queueLine(row) + "\n";
  }
  if (rows.empty()) text += "Every file is stored.\n";
  JsonValue result = JsonValue::object();
  result.set("mounted", JsonValue(running));
  result.set("cache_dir", JsonValue(record->cacheFolder));
  result.set("queue", std::move(files));
  text.pop_back();
  context.printer().result(result, text);
  return Status::OK();
}

// After the file system is gone: every queued file is sent before the
// process ends, unless a second signal says to leave them for the next mount.
Status finishQueue(CommandContext& context, Uploader& uploader, UploadQueue& queue,
                   const std::string& cacheFolder) {
  uploader.hurry();
  auto lastNote = std::chrono::steady_clock::now() - 10s;
  for (std::size_t waiting; (waiting = uploader.waitingFor()) > 0;) {
    if (FuseSession::signalsReceived() >= 2) {
      return Status(StatusCode::kCancelled,
                    std::to_string(queue.size()) + " files are not stored yet; they stay in " +
                        cacheFolder + " and the next mount of this folder stores them");
    }
    if (std::chrono::steady_clock::now() - lastNote >= 2s) {
      lastNote = std::chrono::steady_clock::now();
      std::string names;
      for (const QueuedUpload& row : queue.rows()) {
        if (names.size() > 200) break;
        names += " " + Printer::visible(row.path);
      }
      context.printer().warning("storing " + std::to_string(waiting) +
                                " files before exit (a second Ctrl-C leaves them for the next "
                                "mount):" +
                                names);
    }
    std::this_thread::sleep_for(100ms);
  }
  const auto rows = queue.rows();
  if (rows.empty()) return Status::OK();
  for (const QueuedUpload& row : rows) context.printer().warning(queueLine(row));
  return Status(StatusCode::kService,
                std::to_string(rows.size()) + " files could not be stored; they stay in " +
                    cacheFolder + " and the next mount of this folder tries again");
}

// Runs fusermount3 -u on `mountpoint`; its exit status.
int fusermountUnmount(const std::string& mountpoint) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::execlp("fusermount3", "fusermount3", "-u", mountpoint.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether a mount of ours is at `mountpoint` now.
bool mountedAt(const std::string& mountpoint) {
  std::error_code error;
  const std::string path = std::filesystem::weakly_canonical(mountpoint, error).string();
  std::ifstream mounts("/proc/self/mounts");
  for (std::string line; std::getline(mounts, line);) {
    if (line.find(" " + path + " fuse.nb ") != std::string::npos) return true;
  }
  return false;
}

// --daemon: this command line without it runs in a session of its own, its
// output going to `log`; returns once the file system is mounted, or with the
// reason the mount did not start.
Status detach(CommandContext& context, const std::string& mountpoint, const std::string& log) {
  std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
  std::vector<std::string> args;
  for (std::string arg; std::getline(cmdline, arg, '\0');) {
    if (arg != "--daemon") args.push_back(arg);
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(log).parent_path(), error);
  // Only calls that are safe between fork and exec in a process with threads.
  const pid_t child = ::fork();
  if (child == 0) {
    ::setsid();
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int none = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || none < 0) ::_exit(kExitLocalFile);
    ::dup2(none, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    ::execv("/proc/self/exe", argv.data());
    ::_exit(127);
  }
  if (child < 0)
    return Status::ioError(std::string("cannot start the mount: ") + std::strerror(errno));
  while (!mountedAt(mountpoint)) {
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) {
      std::ifstream in(log);
      std::string text, line;
      while (std::getline(in, line)) text = line;  // the last line says why
      return Status(StatusCode::kService, "the mount did not start: " + text);
    }
    std::this_thread::sleep_for(50ms);
  }
  context.printer().result(JsonValue::object(), "Mounted at " + mountpoint + " (process " +
                                                    std::to_string(child) + ", log " + log + ")");
  return Status::OK();
}

Status runMount(CommandContext& context, const MountOptions& o) {
  if (o.status) {
    if (o.paths.size() != 1) return Status::invalidArgument("mount --status takes the mount point");
    return showStatus(context, o.paths[0]);
  }
  if (o.paths.size() != 2 || !CommandContext::markedRemote(o.paths[0])) {
    return Status::invalidArgument("usage: nb mount nb:REMOTE_FOLDER MOUNTPOINT");
  }
  const auto dirCacheTime = parseDuration(o.dirCacheTime, "--dir-cache-time");
  if (!dirCacheTime.ok()) return dirCacheTime.status();
  const auto writeBack = parseDuration(o.writeBack, "--write-back");
  if (!writeBack.ok()) return writeBack.status();
  const auto cacheMaxSize = parseByteSize(o.cacheMaxSize, "--cache-max-size");
  if (!cacheMaxSize.ok()) return cacheMaxSize.status();
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  const std::string remotePath = CommandContext::remotePath(o.paths[0]);
  const std::string cacheFolder =
      o.cacheDir.empty() ? MountRegistry::defaultCacheFolder(context.options().root, remotePath)
                         : std::filesystem::absolute(o.cacheDir).string();
  if (o.daemon) return detach(context, o.paths[1], cacheFolder + "/mount.log");

  const std::string& mountpoint = o.paths[1];
  struct stat info {};
  // A mount whose process was killed leaves its mount point unusable until unmounted.
  if (::stat(mountpoint.c_str(), &info) != 0 && errno == ENOTCONN) fusermountUnmount(mountpoint);
  if (::stat(mountpoint.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return Status::invalidArgument("the mount point " + mountpoint + " is not a folder");
  }
  RemoteFolder remote(context, remotePath);
  const auto top = remote.stat("/");
  if (!top.ok()) return top.status();
  if (!top->folder) return Status::invalidArgument(remotePath + " is a file, not a folder");

  MountSettings settings;
  settings.cacheFolder = cacheFolder;
  settings.dirCacheTime = *dirCacheTime;
  settings.writeBack = *writeBack;
  settings.cacheMaxSize = *cacheMaxSize;
  const auto lock = lockCacheFolder(settings.cacheFolder);
  if (!lock.ok()) return lock.status();
  auto queue = UploadQueue::open(queueFile(settings.cacheFolder));
  if (!queue.ok()) return queue.status();
  if (Status status = MountRegistry::record(mountpoint, {::getpid(), settings.cacheFolder});
      !status.ok()) {
    return status;
  }
  if ((*queue)->size() > 0) {
    if (Status status = (*queue)->allDue(); !status.ok()) return status;
    context.printer().note("storing " + std::to_string((*queue)->size()) +
                           " files left by the last mount");
  }
  MountFileSystem fs(remote, **queue, settings);
  Status served = FuseSession::run(fs, mountpoint, "nb:" + remotePath);
  fs.releaseAll();
  Status finished = finishQueue(context, fs.uploader(), **queue, settings.cacheFolder);
  // A mount that leaves files queued stays on record for --status.
  if (finished.ok()) MountRegistry::forget(mountpoint);
  ::close(*lock);
  return served.ok() ? finished : served;
}

Status runUnmount(CommandContext& context, const std::string& mountpoint) {
  const auto record = MountRegistry::find(mountpoint);
  const int unmounted = fusermountUnmount(mountpoint);
  if (unmounted == 127) return Status(StatusCode::kUnavailable, "fusermount3 is not installed");
  if (unmounted != 0) return Status::ioError("fusermount3 -u " + mountpoint + " failed");
  if (record) {
    // The mount stores its queue before it ends and lets go of its cache
    // folder: wait for that.
    context.printer().note("waiting for the mount to store its queue...");
    while (mountRunning(record->cacheFolder)) std::this_thread::sleep_for(100ms);
    auto queue = UploadQueue::open(queueFile(record->cacheFolder));
    if (queue.ok() && (*queue)->size() > 0) {
      return Status(StatusCode::kService, std::to_string((*queue)->size()) +
                                              " files are not stored yet (nb mount --status " +
                                              mountpoint + " lists them)");
    }
  }
  context.printer().result(JsonValue::object(), "Unmounted " + mountpoint);
  return Status::OK();
}

}  // namespace

CommandRun declareMount(CLI::App& sub) {
  auto o = std::make_shared<MountOptions>();
  sub.add_option("paths", o->paths, "nb:REMOTE_FOLDER MOUNTPOINT (with --status: MOUNTPOINT)")
      ->required();
  sub.add_option("--cache-dir", o->cacheDir,
                 "Where the cached copies and the upload queue live (default: under ~/.cache/nb)");
  sub.add_option("--dir-cache-time", o->dirCacheTime,
                 "How long a folder's listing is reused (default 30s)");
  sub.add_option("--write-back", o->writeBack,
                 "Wait after a file's last close before it is stored (default 5s)");
  sub.add_option("--cache-max-size", o->cacheMaxSize,
                 "Drop the least recently used stored copies beyond this size, e.g. 10G "
                 "(default: no limit; files not stored yet are never dropped)");
  sub.add_flag("--daemon", o->daemon,
               "Run in the background; returns once mounted (output in the cache folder's "
               "mount.log)");
  sub.add_flag("--status", o->status, "List the files a mount has still to store, and failures");
  return [o](CommandContext& context) { return runMount(context, *o); };
}

CommandRun declareUnmount(CLI::App& sub) {
  auto mountpoint = std::make_shared<std::string>();
  sub.add_option("mountpoint", *mountpoint, "The mount point")->required();
  return [mountpoint](CommandContext& context) { return runUnmount(context, *mountpoint); };
}

}  // namespace nb::cli
