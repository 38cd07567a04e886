#include "cli/FileSystemFlush.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nb::cli {
namespace {

// A file system is flushed in the background once this much has been
// committed on it since its last flush: often enough that little is left for
// the end, seldom enough that the flushes cost less than they save.
constexpr std::uint64_t kFlushBytes = std::uint64_t{64} << 20;
constexpr int kFlushFiles = 250;

Status flushError(int error) {
  return Status::ioError(std::string("cannot bring the files to disk: ") + std::strerror(error));
}

}  // namespace

FileSystemFlush::~FileSystemFlush() {
  if (thread_.joinable()) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  for (const auto& [device, system] : systems_) ::close(system.fd);
}

Result<dev_t> FileSystemFlush::watch(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return flushError(errno);
  watch(fd, info.st_dev);
  return info.st_dev;
}

void FileSystemFlush::watch(int fd, dev_t device) {
  auto [it, added] = systems_.try_emplace(device);
  if (added) {
    it->second.fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (it->second.fd < 0) it->second.error = errno;
  }
}

void FileSystemFlush::committed(dev_t device, std::uint64_t bytes) {
  const auto it = systems_.find(device);
  if (it == systems_.end() || it->second.fd < 0) return;
  FileSystem& system = it->second;
  system.pendingBytes += bytes;
  ++system.pendingFiles;
  if (system.pendingBytes < kFlushBytes && system.pendingFiles < kFlushFiles) return;
  system.pendingBytes = 0;
  system.pendingFiles = 0;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    asked_.insert(system.fd);
  }
  if (!thread_.joinable()) thread_ = std::thread([this] { work(); });
  changed_.notify_all();
}

std::map<dev_t, Status> FileSystemFlush::finish() {
  std::map<int, Status> failures;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    asked_.clear();  // the flush below covers them
    changed_.wait(lock, [&] { return !busy_; });
    failures = failures_;
  }
  std::map<dev_t, Status> outcomes;
  for (const auto& [device, system] : systems_) {
    Status& outcome = outcomes[device];
    if (system.fd < 0) {
      outcome = flushError(system.error);
    } else if (::syncfs(system.fd) != 0) {
      outcome = flushError(errno);
    }
    // An error that an earlier flush saw is not reported again: keep it.
    if (const auto failed = failures.find(system.fd); failed != failures.end() && outcome.ok()) {
      outcome = failed->second;
    }
  }
  return outcomes;
}

void FileSystemFlush::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !asked_.empty(); });
    if (stopping_) return;
    const int fd = *asked_.begin();
    asked_.erase(asked_.begin());
    busy_ = true;
    lock.unlock();
    const bool failed = ::syncfs(fd) != 0;
    const int error = errno;
    lock.lock();
    if (failed) failures_.try_emplace(fd, flushError(error));
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace nb::cli
