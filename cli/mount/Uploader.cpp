#include "cli/mount/Uploader.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "cli/FailureText.h"
#include "cli/Printer.h"

namespace nb::cli::mount {
namespace {

// Whether `path` is `folder` or lies below it.
bool within(const std::string& path, const std::string& folder) {
  if (folder == "/") return true;
  return path == folder || (path.starts_with(folder) && path[folder.size()] == '/');
}

// The pause before the next attempt after `attempts` failures: 1 s, doubling, at most a minute.
std::int64_t backOffMs(std::int64_t attempts) {
  return std::min<std::int64_t>(60'000, 1000LL << std::min<std::int64_t>(attempts, 6));
}

}  // namespace

Uploader::Uploader(UploadQueue& queue, const RemoteFolder& remote, std::string filesFolder,
                   Writing writing, Stored stored, int threads)
    : queue_(queue),
      remote_(remote),
      files_(std::move(filesFolder)),
      writing_(std::move(writing)),
      stored_(std::move(stored)) {
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
}

Uploader::~Uploader() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

std::int64_t Uploader::nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void Uploader::wake() { changed_.notify_all(); }

void Uploader::hurry() {
  {
    std::lock_guard lock(mutex_);
    hurry_ = true;
  }
  changed_.notify_all();
}

bool Uploader::held(const std::string& path) const {
  return std::any_of(holds_.begin(), holds_.end(),
                     [&](const std::string& hold) { return within(path, hold); });
}

bool Uploader::pick(QueuedUpload* row) {
  const std::int64_t now = nowMs();
  for (QueuedUpload& candidate : queue_.rows()) {
    const bool due = candidate.notBefore <= now || (hurry_ && candidate.attempts == 0);
    if (!due || inFlight_.contains(candidate.path) || held(candidate.path)) continue;
    if (writing_(candidate.path)) continue;
    inFlight_.insert(candidate.path);
    *row = std::move(candidate);
    return true;
  }
  return false;
}

void Uploader::work() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    QueuedUpload row;
    if (!pick(&row)) {
      // Rows fall due with time, not only with wake(): look again shortly.
      changed_.wait_for(lock, std::chrono::milliseconds(250));
      continue;
    }
    lock.unlock();
    send(row);
    lock.lock();
    inFlight_.erase(row.path);
    changed_.notify_all();
  }
}

void Uploader::send(const QueuedUpload& row) {
  const std::string local = files_ + row.path;
  std::error_code error;
  if (!std::filesystem::is_regular_file(local, error)) {
    // Nothing left to send: the cached copy was removed outside the mount.
    std::fprintf(stderr, "nb mount: %s has no cached copy any more; dropped from the queue\n",
                 Printer::visible(row.path).c_str());
    queue_.removed(row.path);
    return;
  }
  auto target = destination(row);
  const auto version = target.ok() ? remote_.upload(*target, local) : target.status();
  if (version.ok()) {
    if (*target != row.path) {
      std::fprintf(stderr,
                   "nb mount: %s changed on the service since it was cached; "
                   "the mount's version is stored as %s\n",
                   Printer::visible(row.path).c_str(), Printer::visible(*target).c_str());
    }
    // The listing shows the stored file before the queue lets go of it.
    stored_(row.path, *target, *version);
    queue_.stored(row.path, row.change, *version);
    return;
  }
  std::string reason = version.status().message();
  if (const std::string english = FailureText::explanation(version.status()); !english.empty()) {
    reason += " (" + english + ")";
  }
  std::fprintf(stderr, "nb mount: cannot store %s (attempt %lld): %s\n",
               Printer::visible(row.path).c_str(), static_cast<long long>(row.attempts + 1),
               Printer::visible(reason).c_str());
  queue_.failed(row.path, row.change, nowMs() + backOffMs(row.attempts), reason);
}

Result<std::string> Uploader::destination(const QueuedUpload& row) const {
  if (row.base.empty()) return row.path;  // new: there was nothing to keep
  const auto now = remote_.stat(row.path);
  if (!now.ok()) {
    if (now.status().code() == StatusCode::kNotFound) return row.path;  // deleted meanwhile
    return now.status();
  }
  if (now->version == row.base) return row.path;
  return conflictName(row.path, ::time(nullptr));
}

std::string Uploader::conflictName(const std::string& path, time_t when) {
  const std::size_t slash = path.rfind('/');
  std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= slash + 1) dot = path.size();
  struct tm parts {};
  ::localtime_r(&when, &parts);
  char stamp[40];
  std::strftime(stamp, sizeof stamp, " (conflict %Y-%m-%d %H%M%S)", &parts);
  return path.substr(0, dot) + stamp + path.substr(dot);
}

Uploader::Hold::Hold(Uploader& uploader, std::string path)
    : uploader_(uploader), path_(std::move(path)) {
  std::unique_lock lock(uploader_.mutex_);
  uploader_.holds_.insert(path_);
  uploader_.changed_.wait(lock, [&] {
    return std::none_of(uploader_.inFlight_.begin(), uploader_.inFlight_.end(),
                        [&](const std::string& busy) { return within(busy, path_); });
  });
}

Uploader::Hold::~Hold() {
  {
    std::lock_guard lock(uploader_.mutex_);
    uploader_.holds_.erase(uploader_.holds_.find(path_));
  }
  uploader_.changed_.notify_all();
}

std::size_t Uploader::waitingFor() const {
  const auto rows = queue_.rows();
  return static_cast<std::size_t>(std::count_if(rows.begin(), rows.end(), [](const auto& row) {
    return row.attempts < kAttemptsBeforeFailed;
  }));
}

}  // namespace nb::cli::mount
