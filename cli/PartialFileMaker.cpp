#include "cli/PartialFileMaker.h"

#include <algorithm>

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
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (limit <= limit_) return;
    limit_ = limit;
  }
  changed_.notify_all();
}

PartialFileMaker::Prepared PartialFileMaker::take(std::size_t index) {
  reach(index);
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return madeCount_ > index; });
  Prepared& made = made_[index];
  return {made.status, made.target, std::move(made.file)};
}

void PartialFileMaker::work() {
  for (std::size_t index = 0; index < entries_.size(); ++index) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || index < limit_; });
      if (stopping_) return;
    }
    Prepared prepared;
    auto target = LocalFiles::downloadTarget(entries_[index].local, entries_[index].name, force_);
    if (!target.ok()) {
      prepared.status = target.status();
    } else {
      prepared.target = std::move(*target);
      auto file = PartialFile::beside(prepared.target.path, prepared.target.mode);
      if (file.ok()) {
        prepared.file = std::move(*file);
      } else {
        prepared.status = file.status();
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
