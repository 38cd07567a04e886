#include "cli/PartialFileMaker.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace nb::cli {

PartialFileMaker::PartialFileMaker(std::vector<Entry> entries, bool force, std::size_t ahead)
    : entries_(std::move(entries)),
      force_(force),
      ahead_(std::max<std::size_t>(ahead, 1)),
      made_(entries_.size()),
      limit_(std::min(ahead_, entries_.size())),
      thread_([this] { work(); }) {}

PartialFileMaker::~PartialFileMaker() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void PartialFileMaker::reach(std::size_t index) {
  const std::size_t limit = std::min(index + 1 + ahead_, entries_.size());
  bool wake = false;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    limit_ = std::max(limit_, limit);
    // A waiting maker is woken when the entry itself is wanted, or for a batch
    // (half its reach, or all that is left): a wake-up per entry would cost a
    // switch of threads per file.
    wake = idle_ && madeCount_ < limit_ &&
           (madeCount_ <= index || limit_ - madeCount_ >= std::max<std::size_t>(ahead_ / 2, 1) ||
            limit_ == entries_.size());
  }
  if (wake) changed_.notify_all();
}

PartialFileMaker::Prepared PartialFileMaker::take(std::size_t index) {
  reach(index);
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return madeCount_ > index; });
  Prepared& made = made_[index];
  return {made.status, made.target, std::move(made.file), made.device};
}

void PartialFileMaker::work() {
  // Interrupts go to the other threads: making files here then needs no
  // holding back of signals per file (see LocalFiles).
  LocalFiles::keepInterruptsOffThisThread();
  for (std::size_t index = 0; index < entries_.size(); ++index) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!stopping_ && index >= limit_) {
        idle_ = true;
        changed_.wait(lock, [&] { return stopping_ || index < limit_; });
        idle_ = false;
      }
      if (stopping_) return;
    }
    Prepared prepared;
    auto target = LocalFiles::downloadTarget(entries_[index].local, entries_[index].name, force_);
    if (!target.ok()) {
      prepared.status = target.status();
    } else {
      prepared.target = std::move(*target);
      auto file = PartialFile::beside(prepared.target.path, prepared.target.mode);
      struct stat info {};
      if (!file.ok()) {
        prepared.status = file.status();
      } else if (::fstat((*file)->fd(), &info) != 0) {
        prepared.status =
            Status::ioError("cannot write " + (*file)->path() + ": " + std::strerror(errno));
      } else {
        prepared.file = std::move(*file);
        prepared.device = info.st_dev;
      }
    }
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      made_[index] = std::move(prepared);
      madeCount_ = index + 1;
    }
    changed_.notify_all();
  }
}

}  // namespace nb::cli
