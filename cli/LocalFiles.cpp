#include "cli/LocalFiles.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

namespace nb::cli {
namespace {

// Paths the signal handler removes: fixed storage, so the handler reads no
// heap. A slot is claimed, written, then marked ready; the handler reads only
// ready slots, and only once no thread is between creating a file and
// registering it (see Creating below), so it never reads a path half-written.
constexpr int kSlots = 256;  // 64 transfers in flight, 32 made ahead, and room
enum SlotState : int { kFree, kClaimed, kReady };
char gPaths[kSlots][PATH_MAX];
std::atomic<int> gSlots[kSlots];
// Threads between making a partial file and registering its path; the
// handler waits for them, and once it has begun none starts.
std::atomic<int> gCreating{0};
std::atomic<bool> gExiting{false};
const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};
// The signal handler may use only atomics that need no lock.
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

int registerPath(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!gSlots[i].compare_exchange_strong(expected, kClaimed)) continue;
    std::memcpy(gPaths[i], path.c_str(), path.size() + 1);
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
    if (gSlots[i].load() == kReady) ::unlink(gPaths[i]);
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

// Replaces the trailing XXXXXX of `pattern` with random letters and digits.
void fillName(std::string& pattern) {
  static constexpr char kAlphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::mt19937_64 random(std::random_device{}() ^
                                      (static_cast<std::uint64_t>(::getpid()) << 32));
  std::uint64_t bits = random();
  for (std::size_t i = pattern.size() - 6; i < pattern.size(); ++i) {
    pattern[i] = kAlphabet[bits % (sizeof kAlphabet - 1)];
    bits /= sizeof kAlphabet - 1;
  }
}

}  // namespace

PartialFile::PartialFile(std::string path, int fd, int slot, mode_t mode)
    : path_(std::move(path)), fd_(fd), slot_(slot), mode_(mode) {}

PartialFile::~PartialFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(path_.c_str());
  unregisterPath(slot_);
}

Result<std::unique_ptr<PartialFile>> PartialFile::beside(const std::string& target, mode_t mode) {
  const std::string folder = folderOf(target);
  // The partial file's name must fit where the target's fits: a long name is
  // cut (at a character's start) to leave room for the dot and the suffix.
  constexpr std::size_t kRoom = NAME_MAX - std::char_traits<char>::length("..nb-XXXXXX");
  std::string name = nameOf(target);
  if (name.size() > kRoom) {
    std::size_t cut = kRoom;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  return create(folder + "/." + name + ".nb-XXXXXX", "cannot write in " + folder, mode);
}

Result<std::unique_ptr<PartialFile>> PartialFile::temporary() {
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = tmp && *tmp ? tmp : "/tmp";
  return create(folder + "/nb-spool-XXXXXX", "cannot write in " + folder, 0600);
}

Result<std::unique_ptr<PartialFile>> PartialFile::create(std::string pattern,
                                                         const std::string& what, mode_t mode) {
  mode &= 07777;
  const mode_t made = mode & ~processUmask();
  for (int attempt = 0; attempt < 100; ++attempt) {
    fillName(pattern);
    const Creating creating;
    const int fd = ::open(pattern.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
      const int slot = registerPath(pattern);
      return std::unique_ptr<PartialFile>(new PartialFile(std::move(pattern), fd, slot, made));
    }
    if (errno != EEXIST) return ioError(what, errno);
  }
  return ioError(what, EEXIST);
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

Status PartialFile::commit(const std::string& target, mode_t mode, Flush flush) {
  if (fd_ >= 0 && (mode & 07777) != mode_ && ::fchmod(fd_, mode) != 0)
    return ioError("cannot set the mode of " + path_, errno);
  if (Status status = close(flush); !status.ok()) return status;
  if (::rename(path_.c_str(), target.c_str()) != 0) return ioError("cannot write " + target, errno);
  committed_ = true;
  return Status::OK();
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
