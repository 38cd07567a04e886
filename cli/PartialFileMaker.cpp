#include "cli/PartialFileMaker.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

namespace nb::cli {

namespace {

// "a/b" and "c.txt" of "a/b/c.txt"; no folder part for a name alone.
std::pair<std::string, std::string> split(const std::string& relative) {
  const auto slash = relative.find_last_of('/');
  if (slash == std::string::npos) return {"", relative};
  return {relative.substr(0, slash), relative.substr(slash + 1)};
}

std::map<std::string, std::set<std::string>> namesByFolder(
    const std::vector<PartialFileMaker::Entry>& entries) {
  std::map<std::string, std::set<std::string>> names;
  for (const auto& entry : entries) {
    auto [folder, name] = split(entry.relative);
    names[std::move(folder)].insert(std::move(name));
  }
  return names;
}

}  // namespace

PartialFileMaker::PartialFileMaker(std::vector<Entry> entries,
                                   std::shared_ptr<const FolderHandle> folder, bool force,
                                   std::size_t ahead)
    : entries_(std::move(entries)),
      folder_(std::move(folder)),
      force_(force),
      ahead_(std::max<std::size_t>(ahead, 1)),
      made_(entries_.size()),
      limit_(std::min(ahead_, entries_.size())),
      uncleared_(namesByFolder(entries_)),
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
    Prepared prepared = prepare(index);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      made_[index] = std::move(prepared);
      madeCount_ = index + 1;
    }
    changed_.notify_all();
  }
}

PartialFileMaker::Prepared PartialFileMaker::prepare(std::size_t index) {
  const auto [parentPath, name] = split(entries_[index].relative);
  if (!parent_.ok() || parentPath != parentPath_) {
    parentPath_ = parentPath;
    parent_ = folder_->below(parentPath);
    // A crashed run's partial files of this job's targets in the folder,
    // cleared on the first visit.
    const auto names = uncleared_.find(parentPath);
    if (parent_.ok() && names != uncleared_.end()) {
      PartialFile::removeStale(**parent_, names->second);
      uncleared_.erase(names);
    }
  }
  Prepared prepared;
  if (!parent_.ok()) {
    prepared.status = parent_.status();
    return prepared;
  }
  auto target = LocalFiles::targetIn(*parent_, name, entries_[index].local, force_);
  if (!target.ok()) {
    prepared.status = target.status();
    return prepared;
  }
  prepared.target = std::move(*target);
  auto file = PartialFile::in(prepared.target.folder, name, prepared.target.mode);
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
  return prepared;
}

}  // namespace nb::cli
