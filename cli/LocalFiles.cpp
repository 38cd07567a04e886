#include "cli/LocalFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

namespace nb::cli {
namespace {

// Files the signal handler removes, each a name inside a folder's handle:
// fixed storage, so the handler reads no heap. A slot is claimed, written,
// then marked ready; the handler reads only ready slots, and only once no
// thread is between creating a file and registering it (see Creating below),
// so it never reads a name half-written. The folder handle stays open while
// its file is registered (the PartialFile holds it).
constexpr int kSlots = 256;  // 64 transfers in flight, 32 made ahead, and room
enum SlotState : int { kFree, kClaimed, kReady };
int gFolders[kSlots];
char gNames[kSlots][NAME_MAX + 1];
std::atomic<int> gSlots[kSlots];
// Threads between making a partial file and registering its path; the
// handler waits for them, and once it has begun none starts.
std::atomic<int> gCreating{0};
std::atomic<bool> gExiting{false};
const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};
// The signal handler may use only atomics that need no lock.
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

int registerPath(int folder, const std::string& name) {
  if (name.size() > NAME_MAX) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!gSlots[i].compare_exchange_strong(expected, kClaimed)) continue;
    gFolders[i] = folder;
    std::memcpy(gNames[i], name.c_str(), name.size() + 1);
    gSlots[i].store(kReady);
    return i;
  }
  return -1;  // more partial files than slots: only the destructor removes this one
}

void unregisterPath(int slot) {
  if (slot >= 0) gSlots[slot].store(kFree);
}

// Making a file and registering its path, as one step for the interrupt
// handler: the thread doing it holds back the interrupt signals meanwhile (so
// the handler never runs in the middle of it on this thread), and a handler
// running on another thread waits until the path is registered. Once the
// handler has begun, a thread that would make a file waits for the exit
// instead: nothing new may appear, and nothing may end the process first.
thread_local bool tInterruptsKeptOff = false;  // see LocalFiles::keepInterruptsOffThisThread

sigset_t interruptSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : kInterrupts) sigaddset(&signals, signal);
  return signals;
}

class Creating {
 public:
  Creating() {
    if (!tInterruptsKeptOff) {
      const sigset_t signals = interruptSignals();
      ::pthread_sigmask(SIG_BLOCK, &signals, &previous_);
    }
    gCreating.fetch_add(1);
    if (gExiting.load()) {
      gCreating.fetch_sub(1);
      for (;;) ::pause();
    }
  }
  ~Creating() {
    gCreating.fetch_sub(1);
    if (!tInterruptsKeptOff) ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  Creating(const Creating&) = delete;
  Creating& operator=(const Creating&) = delete;

 private:
  sigset_t previous_;
};

extern "C" void onInterrupt(int signal) {
  gExiting.store(true);
  // Another thread may be between making a file and registering it: a
  // moment's wait lets it finish, so that its file is removed too.
  const struct timespec pause = {0, 100000};
  for (int spins = 0; gCreating.load() > 0 && spins < 10000; ++spins) ::nanosleep(&pause, nullptr);
  for (int i = 0; i < kSlots; ++i) {
    if (gSlots[i].load() == kReady) ::unlinkat(gFolders[i], gNames[i], 0);
  }
  ::_exit(128 + signal);
}

std::string errnoText(int error) { return std::strerror(error); }

Status ioError(const std::string& what, int error) {
  return Status::ioError(what + ": " + errnoText(error));
}

std::string folderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The process's umask, read once: reading it means setting it, twice.
mode_t processUmask() {
  static const mode_t mask = [] {
    const mode_t current = ::umask(0);
    ::umask(current);
    return current;
  }();
  return mask;
}

mode_t defaultFileMode() { return 0666 & ~processUmask(); }

constexpr std::string_view kPartialSuffix = ".nb-";
constexpr std::size_t kRandomLength = 6;

// ".<name>.nb-", the start of the partial files of the target `name`. The
// partial file's name must fit where the target's fits: a long name is cut
// (at a character's start) to leave room for the dot and the suffix.
std::string partialStem(const std::string& name) {
  constexpr std::size_t kRoom = NAME_MAX - 1 - kPartialSuffix.size() - kRandomLength;
  std::string stem = name;
  if (stem.size() > kRoom) {
    std::size_t cut = kRoom;
    while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
    stem.resize(cut);
  }
  return "." + stem + std::string(kPartialSuffix);
}

// Replaces the trailing XXXXXX of `pattern` with random letters and digits.
void fillName(std::string& pattern) {
  static constexpr char kAlphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::mt19937_64 random(std::random_device{}() ^
                                      (static_cast<std::uint64_t>(::getpid()) << 32));
  std::uint64_t bits = random();
  for (std::size_t i = pattern.size() - kRandomLength; i < pattern.size(); ++i) {
    pattern[i] = kAlphabet[bits % (sizeof kAlphabet - 1)];
    bits /= sizeof kAlphabet - 1;
  }
}

}  // namespace

Result<std::shared_ptr<const FolderHandle>> FolderHandle::open(const std::string& path,
                                                               bool create) {
  if (create) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error) return Status::ioError("cannot create " + path + ": " + error.message());
  }
  const int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return ioError("cannot open the folder " + path, errno);
  return std::shared_ptr<const FolderHandle>(new FolderHandle(fd, path));
}

FolderHandle::~FolderHandle() { ::close(fd_); }

namespace {

// Why `name` in `folder` cannot be opened as a folder (`error`), in words.
std::string notAFolder(int folder, const std::string& name, int error) {
  struct stat info {};
  if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(info.st_mode)) return "a symbolic link is in the way (left as it is)";
    if (!S_ISDIR(info.st_mode)) return "a file is in the way";
  }
  return errnoText(error);
}

// Opens `relative` below `folder` in one call where the kernel can resolve a
// path strictly beneath a handle without links; -1 otherwise.
int openStrictlyBeneath(int folder, const std::string& relative) {
  struct open_how how {};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  return static_cast<int>(::syscall(SYS_openat2, folder, relative.c_str(), &how, sizeof how));
}

}  // namespace

Result<std::shared_ptr<const FolderHandle>> FolderHandle::below(const std::string& relative,
                                                                bool create) const {
  if (!create && !relative.empty()) {
    const int fd = openStrictlyBeneath(fd_, relative);
    if (fd >= 0)
      return std::shared_ptr<const FolderHandle>(new FolderHandle(fd, path_ + "/" + relative));
  }
  // One name at a time, none of them followed if it is a link: where the
  // call above is missing, and to tell what is in the way.
  int current = ::dup(fd_);
  if (current < 0) return ioError("cannot open the folder " + path_, errno);
  std::string shown = path_;
  for (std::size_t start = 0; start < relative.size();) {
    std::size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string name = relative.substr(start, end - start);
    start = end + 1;
    if (name.empty()) continue;
    shown += "/" + name;
    if (name == "." || name == "..") {
      ::close(current);
      return Status::invalidArgument("cannot open " + shown + ": not a path below " + path_);
    }
    int next = ::openat(current, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && create &&
        (::mkdirat(current, name.c_str(), 0777) == 0 || errno == EEXIST)) {
      next = ::openat(current, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    const int error = errno;
    if (next < 0) {
      const std::string reason = notAFolder(current, name, error);
      ::close(current);
      return Status::ioError("cannot write in " + shown + ": " + reason);
    }
    ::close(current);
    current = next;
  }
  return std::shared_ptr<const FolderHandle>(new FolderHandle(current, shown));
}

PartialFile::PartialFile(std::shared_ptr<const FolderHandle> folder, std::string name,
                         std::string target, int fd, int slot, mode_t mode)
    : folder_(std::move(folder)),
      name_(std::move(name)),
      target_(std::move(target)),
      path_(folder_->path() + "/" + name_),
      fd_(fd),
      slot_(slot),
      mode_(mode) {}

PartialFile::~PartialFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlinkat(folder_->fd(), name_.c_str(), 0);
  unregisterPath(slot_);
}

Result<std::unique_ptr<PartialFile>> PartialFile::beside(const std::string& target, mode_t mode) {
  auto folder = FolderHandle::open(folderOf(target), false);
  if (!folder.ok()) return folder.status();
  const std::string name = nameOf(target);
  removeStale(**folder, {name});
  return in(std::move(*folder), name, mode);
}

Result<std::unique_ptr<PartialFile>> PartialFile::in(std::shared_ptr<const FolderHandle> folder,
                                                     const std::string& name, mode_t mode) {
  const std::string stem = partialStem(name);
  return create(std::move(folder), stem, name, mode);
}

Result<std::unique_ptr<PartialFile>> PartialFile::temporary() {
  const char* tmp = std::getenv("TMPDIR");
  auto folder = FolderHandle::open(tmp && *tmp ? tmp : "/tmp", false);
  if (!folder.ok()) return folder.status();
  return create(std::move(*folder), "nb-spool-", "", 0600);
}

Result<std::unique_ptr<PartialFile>> PartialFile::create(std::shared_ptr<const FolderHandle> folder,
                                                         const std::string& stem,
                                                         std::string target, mode_t mode) {
  mode &= 07777;
  const mode_t made = mode & ~processUmask();
  std::string name = stem + std::string(kRandomLength, 'X');
  for (int attempt = 0; attempt < 100; ++attempt) {
    fillName(name);
    const Creating creating;
    const int fd = ::openat(folder->fd(), name.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return ioError("cannot write in " + folder->path(), errno);
    }
    // Locked for as long as it is written, so that no other run takes it for
    // a crashed run's leftover. One that a cleaner locked, or removed before
    // the lock was had, is given up for another name.
    struct stat info {};
    if ((::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) ||
        (::fstat(fd, &info) == 0 && info.st_nlink == 0)) {
      ::close(fd);
      continue;
    }
    const int slot = registerPath(folder->fd(), name);
    return std::unique_ptr<PartialFile>(
        new PartialFile(std::move(folder), std::move(name), std::move(target), fd, slot, made));
  }
  return ioError("cannot write in " + folder->path(), EEXIST);
}

void PartialFile::removeStale(const FolderHandle& folder, const std::set<std::string>& names) {
  std::set<std::string> stems;
  for (const std::string& name : names) stems.insert(partialStem(name));
  const int listed = ::openat(folder.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listed < 0) return;
  DIR* dir = ::fdopendir(listed);
  if (dir == nullptr) {
    ::close(listed);
    return;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() > kRandomLength && stems.count(name.substr(0, name.size() - kRandomLength))) {
      removeIfStale(folder, name);
    }
  }
  ::closedir(dir);
}

void PartialFile::removeIfStale(const FolderHandle& folder, const std::string& name) {
  const int fd =
      ::openat(folder.fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  // Removed only while locked here, and only if the name still is this file.
  struct stat opened {
  }, named{};
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
      ::fstatat(folder.fd(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      named.st_ino == opened.st_ino && named.st_dev == opened.st_dev) {
    ::unlinkat(folder.fd(), name.c_str(), 0);
  }
  ::close(fd);
}

bool PartialFile::isPartialName(std::string_view name) {
  if (name.size() < 1 + 1 + kPartialSuffix.size() + kRandomLength || name[0] != '.') return false;
  const std::string_view tail = name.substr(name.size() - kRandomLength);
  const std::string_view suffix =
      name.substr(name.size() - kRandomLength - kPartialSuffix.size(), kPartialSuffix.size());
  return suffix == kPartialSuffix && std::all_of(tail.begin(), tail.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) != 0;
         });
}

Status PartialFile::write(std::string_view bytes) {
  Status status = LocalFiles::writeAll(fd_, bytes, "cannot write " + path_);
  if (status.ok()) size_ += bytes.size();
  return status;
}

Status PartialFile::close(Flush flush) {
  if (fd_ < 0) return Status::OK();
  const int fd = fd_;
  fd_ = -1;
  if (flush == Flush::kNow && ::fsync(fd) != 0 && errno != EINVAL) {
    const int error = errno;
    ::close(fd);
    return ioError("cannot write " + path_, error);
  }
  if (::close(fd) != 0) return ioError("cannot write " + path_, errno);
  return Status::OK();
}

Status PartialFile::setModifyTime(long long seconds) {
  const timespec stamps[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  if (::futimens(fd_, stamps) != 0) return ioError("cannot set the time of " + path_, errno);
  return Status::OK();
}

Status PartialFile::commit(mode_t mode, Flush flush) {
  if (fd_ >= 0 && (mode & 07777) != mode_ && ::fchmod(fd_, mode) != 0)
    return ioError("cannot set the mode of " + path_, errno);
  // A copy of the descriptor keeps the file locked from its close (which
  // may report a late write error) until it stands under its final name.
  const int lock = fd_ >= 0 ? ::dup(fd_) : -1;
  Status status = close(flush);
  if (status.ok() &&
      ::renameat(folder_->fd(), name_.c_str(), folder_->fd(), target_.c_str()) != 0) {
    status = ioError("cannot write " + folder_->path() + "/" + target_, errno);
  }
  if (lock >= 0) ::close(lock);
  committed_ = status.ok();
  return status;
}

void LocalFiles::keepInterruptsOffThisThread() {
  const sigset_t signals = interruptSignals();
  if (::pthread_sigmask(SIG_BLOCK, &signals, nullptr) == 0) tInterruptsKeptOff = true;
}

void LocalFiles::removePartialFilesOnInterrupt() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  processUmask();  // read before any helper thread makes files (reading it sets it)
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  // One handler at a time: a second signal waits for the first's exit.
  action.sa_mask = interruptSignals();
  for (const int signal : kInterrupts) ::sigaction(signal, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);  // a closed pipe is reported as EPIPE where we write
}

namespace {

// An existing target described by `info`: only a regular file that may be
// written (or `force`) is replaced, and it keeps its mode.
Result<DownloadTarget> checkedTarget(DownloadTarget target, const struct stat& info, bool force) {
  if (S_ISDIR(info.st_mode)) {
    return Status::ioError("cannot write " + target.path + ": " + errnoText(EISDIR));
  }
  if (!S_ISREG(info.st_mode)) {
    return Status::ioError("cannot write " + target.path + ": not a regular file");
  }
  if ((info.st_mode & S_IWUSR) == 0 && !force) {
    return Status::ioError(target.path + " is read-only; give --force to replace it");
  }
  target.mode = info.st_mode & 07777;
  return target;
}

}  // namespace

Result<DownloadTarget> LocalFiles::downloadTarget(const std::string& local, const std::string& name,
                                                  bool force) {
  if (local.empty()) return Status::invalidArgument("give the local file's name");
  DownloadTarget target{local, defaultFileMode()};
  struct stat info {};
  // One look answers the common cases: a file that is not there yet, or a
  // plain file. Folders and links take the longer way below.
  if (::lstat(target.path.c_str(), &info) != 0) {
    if (errno == ENOENT) return target;
    return ioError("cannot write " + target.path, errno);
  }
  if (S_ISREG(info.st_mode)) return checkedTarget(std::move(target), info, force);
  if (::stat(target.path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    if (name.empty()) return Status::invalidArgument("give the local file's name, not a folder");
    target.path = (target.path.ends_with('/') ? target.path : target.path + "/") + name;
  }
  // A link is followed, so that the file it names is replaced, not the link.
  struct stat link {};
  if (::lstat(target.path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(target.path.c_str(), resolved) != nullptr) target.path = resolved;
  }
  if (::stat(target.path.c_str(), &info) == 0) return checkedTarget(std::move(target), info, force);
  if (errno != ENOENT) return ioError("cannot write " + target.path, errno);
  return target;
}

Result<DownloadTarget> LocalFiles::targetIn(std::shared_ptr<const FolderHandle> folder,
                                            const std::string& name, const std::string& shown,
                                            bool force) {
  DownloadTarget target{shown, defaultFileMode(), std::move(folder), name};
  struct stat info {};
  if (::fstatat(target.folder->fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return target;
    return ioError("cannot write " + shown, errno);
  }
  if (S_ISLNK(info.st_mode)) {
    return Status::ioError("cannot write " + shown +
                           ": a symbolic link is in the way (left as it is)");
  }
  if (S_ISDIR(info.st_mode))
    return Status::ioError("cannot write " + shown + ": a folder is in the way");
  return checkedTarget(std::move(target), info, force);
}

Status LocalFiles::writeAll(int fd, std::string_view bytes, const std::string& what) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return ioError(what, errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return Status::OK();
}

Result<bool> LocalFiles::needsSpool(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return ioError("cannot read " + path, errno);
  if (S_ISDIR(info.st_mode))
    return Status::ioError("cannot read " + path + ": " + errnoText(EISDIR));
  if (!S_ISREG(info.st_mode) || info.st_size == 0) return true;
  struct statfs fs {};
  constexpr long kProc = 0x9fa0, kSysfs = 0x62656572;
  if (::statfs(path.c_str(), &fs) == 0 && (fs.f_type == kProc || fs.f_type == kSysfs)) return true;
  return false;
}

Result<std::unique_ptr<PartialFile>> LocalFiles::spool(int fd, const std::string& what) {
  auto file = PartialFile::temporary();
  if (!file.ok()) return file.status();
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return ioError("cannot read " + what, errno);
    }
    if (got == 0) break;
    if (Status status = (*file)->write({buffer.data(), static_cast<std::size_t>(got)});
        !status.ok()) {
      return status;
    }
  }
  if (Status status = (*file)->close(); !status.ok()) return status;
  return std::move(*file);
}

}  // namespace nb::cli
