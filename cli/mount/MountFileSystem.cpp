#include "cli/mount/MountFileSystem.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "cli/TreeListing.h"

namespace nb::cli::mount {
namespace {

namespace fs = std::filesystem;

// Whether `path` is `folder` or lies below it.
bool within(const std::string& path, const std::string& folder) {
  return path == folder || (path.starts_with(folder) && path[folder.size()] == '/');
}

off_t sizeOf(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 ? info.st_size : 0;
}

int errnoOf(const Status& status) { return -RemoteFolder::errnoFor(status); }

int makeParentFolders(const std::string& file) {
  std::error_code error;
  fs::create_directories(fs::path(file).parent_path(), error);
  return error ? -EIO : 0;
}

int storable(const std::string& path) {
  return storableName(DirectoryCache::nameOf(path)) ? 0 : -EINVAL;
}

// Stat data of a cached copy, shown as a plain file of the user's.
int statLocal(const std::string& file, struct stat* info) {
  if (::lstat(file.c_str(), info) != 0) return -errno;
  info->st_mode = S_IFREG | 0644;
  info->st_uid = ::getuid();
  info->st_gid = ::getgid();
  return 0;
}

}  // namespace

MountFileSystem::MountFileSystem(const RemoteFolder& remote, UploadQueue& queue,
                                 const MountSettings& settings)
    : remote_(remote),
      queue_(queue),
      settings_(settings),
      files_(settings.cacheFolder + "/files"),
      listings_(remote, settings.dirCacheTime) {
  std::error_code error;
  fs::create_directories(files_, error);
  refreshQuota();
  uploader_ = std::make_unique<Uploader>(
      queue_, remote_, files_, [this](const std::string& path) { return openForWriting(path); },
      [this](const std::string& path, const std::string& storedAs, const std::string& version) {
        stored(path, storedAs, version);
      });
}

MountFileSystem::~MountFileSystem() {
  uploader_.reset();
  std::lock_guard lock(mutex_);
  for (auto& [id, handle] : handles_) ::close(handle.fd);
}

void MountFileSystem::fillFromEntry(const RemoteEntry& entry, struct stat* info) const {
  *info = {};
  info->st_mode = entry.folder ? (S_IFDIR | 0755) : (S_IFREG | 0644);
  info->st_nlink = entry.folder ? 2 : 1;
  info->st_size = static_cast<off_t>(entry.size);
  info->st_blocks = static_cast<blkcnt_t>((entry.size + 511) / 512);
  info->st_mtime = info->st_ctime = info->st_atime = entry.modified;
  info->st_uid = ::getuid();
  info->st_gid = ::getgid();
}

int MountFileSystem::lookUp(const std::string& path, struct stat* info) {
  if (localIsNewer(path)) return statLocal(local(path), info);
  auto entry = listings_.entry(path);
  if (!entry.ok()) return errnoOf(entry.status());
  fillFromEntry(*entry, info);
  return 0;
}

int MountFileSystem::getattr(const std::string& path, struct stat* info) {
  return lookUp(path, info);
}

int MountFileSystem::readdir(const std::string& path,
                             std::vector<std::pair<std::string, struct stat>>* entries) {
  auto listing = listings_.listing(path);
  if (!listing.ok()) return errnoOf(listing.status());
  std::map<std::string, struct stat> shown;
  for (const auto& [name, entry] : **listing) fillFromEntry(entry, &shown[name]);
  // Files not stored yet show their cached copy, new ones included.
  for (const std::string& child : queue_.childrenOf(path)) {
    struct stat info {};
    if (statLocal(local(child), &info) == 0) shown[DirectoryCache::nameOf(child)] = info;
  }
  for (auto& [name, info] : shown) entries->emplace_back(name, info);
  return 0;
}

int MountFileSystem::fetch(const std::string& path, const RemoteEntry& entry, bool* downloaded) {
  std::shared_ptr<std::mutex> one;
  {
    std::lock_guard lock(mutex_);
    auto& slot = fetching_[path];
    if (!slot) slot = std::make_shared<std::mutex>();
    one = slot;
  }
  // Opens of one file at once share its one download.
  std::lock_guard download(*one);
  const std::string file = local(path);
  {
    std::lock_guard lock(mutex_);
    struct stat info {};
    const bool present = ::lstat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    auto known = clean_.find(path);
    const bool current = known != clean_.end() && known->second.version == entry.version &&
                         static_cast<std::uint64_t>(info.st_size) == entry.size;
    // An open copy is never replaced under its readers and writers.
    const bool inUse = std::any_of(handles_.begin(), handles_.end(),
                                   [&](const auto& open) { return open.second.path == path; });
    if (present && known != clean_.end()) known->second.lastUse = ++useClock_;
    if (present && (current || inUse)) return 0;
  }
  if (localIsNewer(path)) return 0;
  if (int error = makeParentFolders(file); error != 0) return error;
  if (Status status = remote_.download(path, file); !status.ok()) return errnoOf(status);
  if (downloaded != nullptr) *downloaded = true;
  {
    std::lock_guard lock(mutex_);
    clean_[path] = CleanCopy{entry.version, entry.size, ++useClock_};
  }
  evict();
  return 0;
}

void MountFileSystem::evict() {
  if (settings_.cacheMaxSize == 0) return;
  std::uint64_t total = 0;
  for (const QueuedUpload& row : queue_.rows()) {
    struct stat info {};
    if (::lstat(local(row.path).c_str(), &info) == 0)
      total += static_cast<std::uint64_t>(info.st_size);
  }
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::uint64_t, std::string>> byUse;
  for (const auto& [path, copy] : clean_) {
    if (queue_.contains(path)) continue;  // counted above, and never dropped
    total += copy.size;
    byUse.emplace_back(copy.lastUse, path);
  }
  std::sort(byUse.begin(), byUse.end());
  for (const auto& [use, path] : byUse) {
    if (total <= settings_.cacheMaxSize) break;
    const bool open = std::any_of(handles_.begin(), handles_.end(),
                                  [&](const auto& handle) { return handle.second.path == path; });
    if (open) continue;
    ::unlink(local(path).c_str());
    total -= clean_[path].size;
    clean_.erase(path);
  }
}

std::uint64_t MountFileSystem::addHandle(int fd, const std::string& path) {
  std::lock_guard lock(mutex_);
  const std::uint64_t id = nextHandle_++;
  handles_[id] = Handle{fd, path, false};
  return id;
}

bool MountFileSystem::openForWriting(const std::string& path) {
  std::lock_guard lock(mutex_);
  return std::any_of(handles_.begin(), handles_.end(), [&](const auto& open) {
    return open.second.path == path && open.second.wrote;
  });
}

int MountFileSystem::queueChange(const std::string& path, std::optional<std::string> base) {
  if (!base) {
    std::lock_guard lock(mutex_);
    auto known = clean_.find(path);
    base = known == clean_.end() ? "" : known->second.version;
  }
  const Status status =
      queue_.changed(path, Uploader::nowMs() + settings_.writeBack.count(), *base);
  return status.ok() ? 0 : -EIO;
}

int MountFileSystem::open(const std::string& path, int flags, std::uint64_t* handle,
                          bool* keepCache) {
  bool downloaded = false;
  const bool writing = (flags & O_ACCMODE) != O_RDONLY;
  const bool truncating = writing && (flags & O_TRUNC) != 0;
  std::string base;  // what a truncation replaces
  if (!localIsNewer(path)) {
    auto entry = listings_.entry(path);
    base = entry.ok() ? entry->version : "";
    if (!entry.ok()) return errnoOf(entry.status());
    if (entry->folder) return -EISDIR;
    const int fetched =
        truncating ? makeParentFolders(local(path)) : fetch(path, *entry, &downloaded);
    if (fetched != 0) return fetched;
  }
  const int localFlags =
      (flags & (O_ACCMODE | O_APPEND)) | (truncating ? O_TRUNC | O_CREAT : 0) | O_CLOEXEC;
  int fd = ::open(local(path).c_str(), localFlags, 0644);
  if (fd < 0 && errno == ENOENT && !truncating && !localIsNewer(path)) {
    // Dropped from the cache between its fetch and this open: once more.
    auto entry = listings_.entry(path);
    if (!entry.ok()) return errnoOf(entry.status());
    if (int error = fetch(path, *entry, &downloaded); error != 0) return error;
    fd = ::open(local(path).c_str(), localFlags, 0644);
  }
  if (fd < 0) return -errno;
  *handle = addHandle(fd, path);
  *keepCache = !downloaded && !truncating;
  if (!truncating) return 0;
  {
    std::lock_guard lock(mutex_);
    handles_[*handle].wrote = true;
  }
  return queueChange(path, base);
}

int MountFileSystem::create(const std::string& path, mode_t /*mode*/, int flags,
                            std::uint64_t* handle) {
  if (int error = storable(path); error != 0) return error;
  if (int error = makeParentFolders(local(path)); error != 0) return error;
  const int fd = ::open(local(path).c_str(),
                        (flags & (O_ACCMODE | O_APPEND)) | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -errno;
  *handle = addHandle(fd, path);
  {
    std::lock_guard lock(mutex_);
    handles_[*handle].wrote = true;
  }
  return queueChange(path);
}

int MountFileSystem::read(std::uint64_t handle, char* buffer, std::size_t size, off_t offset) {
  int fd = -1;
  {
    std::lock_guard lock(mutex_);
    fd = handles_.at(handle).fd;
  }
  const ssize_t done = ::pread(fd, buffer, size, offset);
  return done < 0 ? -errno : static_cast<int>(done);
}

int MountFileSystem::write(std::uint64_t handle, const char* buffer, std::size_t size,
                           off_t offset) {
  int fd = -1;
  std::string path;
  bool firstChange = false;  // the handle's first write
  {
    std::lock_guard lock(mutex_);
    Handle& open = handles_.at(handle);
    fd = open.fd;
    path = open.path;
    firstChange = !open.wrote && !path.empty();
    open.wrote = true;
  }
  const off_t end = offset + static_cast<off_t>(size);
  if (int error = roomFor(path, sizeOf(fd), end); error != 0) return error;
  if (firstChange) {
    if (int error = queueChange(path); error != 0) return error;
  }
  const ssize_t done = ::pwrite(fd, buffer, size, offset);
  return done < 0 ? -errno : static_cast<int>(done);
}

int MountFileSystem::truncate(const std::string& path, off_t size, const std::uint64_t* handle) {
  if (handle != nullptr) {
    int fd = -1;
    {
      std::lock_guard lock(mutex_);
      Handle& open = handles_.at(*handle);
      fd = open.fd;
      open.wrote = true;
    }
    if (int error = roomFor(path, sizeOf(fd), size); error != 0) return error;
    if (::ftruncate(fd, size) != 0) return -errno;
    return queueChange(path);
  }
  if (!localIsNewer(path)) {
    auto entry = listings_.entry(path);
    if (!entry.ok()) return errnoOf(entry.status());
    if (entry->folder) return -EISDIR;
    if (int error = fetch(path, *entry); error != 0) return error;
  }
  struct stat info {};
  if (::lstat(local(path).c_str(), &info) != 0) return -errno;
  if (int error = roomFor(path, info.st_size, size); error != 0) return error;
  if (::truncate(local(path).c_str(), size) != 0) return -errno;
  return queueChange(path);
}

void MountFileSystem::refreshQuota(bool now) {
  {
    std::lock_guard lock(mutex_);
    if (!now && quota_ &&
        std::chrono::steady_clock::now() - quotaFetched_ < std::chrono::seconds(10)) {
      return;
    }
    quotaFetched_ = std::chrono::steady_clock::now();  // one caller asks at a time
  }
  auto quota = remote_.quota();
  if (!quota.ok()) return;  // the last known one stays
  std::lock_guard lock(mutex_);
  quota_ = *quota;
}

int MountFileSystem::roomFor(const std::string& path, off_t size, off_t end) {
  if (end <= size) return 0;
  std::lock_guard lock(mutex_);
  if (!quota_) return 0;
  const auto wanted = static_cast<std::uint64_t>(end);
  if (quota_->largestFile > 0 && wanted > quota_->largestFile) return -EFBIG;
  auto stored = clean_.find(path);
  const std::uint64_t replaced = stored == clean_.end() ? 0 : stored->second.size;
  const std::uint64_t used = quota_->used - std::min(quota_->used, replaced);
  if (quota_->total > 0 && used + wanted > quota_->total) return -EDQUOT;
  return 0;
}

void MountFileSystem::releaseAll() {
  std::vector<std::uint64_t> open;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, handle] : handles_) open.push_back(id);
  }
  for (const std::uint64_t id : open) release(id);
}

int MountFileSystem::release(std::uint64_t handle) {
  Handle closed;
  {
    std::lock_guard lock(mutex_);
    auto found = handles_.find(handle);
    if (found == handles_.end()) return -EBADF;
    closed = found->second;
    handles_.erase(found);
  }
  ::close(closed.fd);
  if (!closed.wrote || closed.path.empty()) return 0;
  // The write-back delay runs from the last close.
  const int error = queueChange(closed.path);
  uploader_->wake();
  return error;
}

int MountFileSystem::utimens(const std::string& path, const struct timespec times[2]) {
  // A stored file has the service's time; a file not stored yet keeps its own.
  if (!localIsNewer(path)) {
    struct stat info {};
    return lookUp(path, &info);
  }
  return ::utimensat(AT_FDCWD, local(path).c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}

int MountFileSystem::mkdir(const std::string& path) {
  if (int error = storable(path); error != 0) return error;
  if (Status status = remote_.makeFolder(path); !status.ok()) return errnoOf(status);
  listings_.forget(path);
  RemoteEntry made;
  made.folder = true;
  made.modified = ::time(nullptr);
  listings_.update(path, made);
  return 0;
}

int MountFileSystem::rmdir(const std::string& path) {
  if (path == "/") return -EBUSY;
  auto entry = listings_.entry(path);
  if (!entry.ok()) return errnoOf(entry.status());
  if (!entry->folder) return -ENOTDIR;
  if (queue_.anyBelow(path)) return -ENOTEMPTY;
  listings_.forget(path);  // only the service's listing of now tells it is empty
  auto listing = listings_.listing(path);
  if (!listing.ok()) return errnoOf(listing.status());
  if (!(*listing)->empty()) return -ENOTEMPTY;
  if (Status status = remote_.remove(path); !status.ok()) return errnoOf(status);
  listings_.forget(path);
  listings_.update(path, std::nullopt);
  std::error_code error;
  fs::remove_all(local(path), error);
  return 0;
}

int MountFileSystem::removeFile(const std::string& path, bool remote) {
  if (remote) {
    const Status status = remote_.remove(path);
    if (!status.ok() && status.code() != StatusCode::kNotFound) return errnoOf(status);
  }
  if (!queue_.removed(path).ok()) return -EIO;
  ::unlink(local(path).c_str());
  {
    std::lock_guard lock(mutex_);
    clean_.erase(path);
    // Open handles keep their bytes, but nothing of them is stored any more.
    for (auto& [id, handle] : handles_) {
      if (handle.path == path) handle.path.clear();
    }
  }
  listings_.update(path, std::nullopt);
  return 0;
}

int MountFileSystem::unlink(const std::string& path) {
  Uploader::Hold hold(*uploader_, path);
  auto entry = listings_.entry(path);
  if (entry.ok() && entry->folder) return -EISDIR;
  if (!entry.ok() && entry.status().code() != StatusCode::kNotFound) {
    return errnoOf(entry.status());
  }
  if (!entry.ok() && !localIsNewer(path)) return -ENOENT;
  return removeFile(path, entry.ok());
}

int MountFileSystem::rename(const std::string& from, const std::string& to, bool noReplace) {
  if (int error = storable(to); error != 0) return error;
  if (within(to, from)) return from == to ? 0 : -EINVAL;  // into itself
  Uploader::Hold holdFrom(*uploader_, from);
  Uploader::Hold holdTo(*uploader_, to);

  const bool fromNewer = localIsNewer(from);
  auto fromEntry = listings_.entry(from);
  if (!fromEntry.ok() && (fromEntry.status().code() != StatusCode::kNotFound || !fromNewer)) {
    return errnoOf(fromEntry.status());
  }
  const bool folder = fromEntry.ok() && fromEntry->folder;

  auto toEntry = listings_.entry(to);
  if (!toEntry.ok() && toEntry.status().code() != StatusCode::kNotFound) {
    return errnoOf(toEntry.status());
  }
  if (toEntry.ok() || localIsNewer(to)) {
    if (noReplace) return -EEXIST;
    if (toEntry.ok() && toEntry->folder) {
      if (!folder) return -EISDIR;
      if (int error = rmdir(to); error != 0) return error;
    } else {
      if (folder) return -ENOTDIR;
      if (int error = removeFile(to, toEntry.ok()); error != 0) return error;
    }
  }

  // A file not stored yet has nothing on the service to move.
  if (fromEntry.ok()) {
    if (Status status = remote_.move(from, to); !status.ok()) return errnoOf(status);
  }
  if (int error = makeParentFolders(local(to)); error != 0) return error;
  if (::rename(local(from).c_str(), local(to).c_str()) != 0 && errno != ENOENT) return -errno;
  if (!queue_.renamed(from, to).ok()) return -EIO;
  {
    std::lock_guard lock(mutex_);
    std::map<std::string, CleanCopy> moved;
    for (auto it = clean_.begin(); it != clean_.end();) {
      if (within(it->first, from)) {
        moved[to + it->first.substr(from.size())] = it->second;
        it = clean_.erase(it);
      } else {
        ++it;
      }
    }
    clean_.merge(moved);
    for (auto& [id, handle] : handles_) {
      if (!handle.path.empty() && within(handle.path, from)) {
        handle.path = to + handle.path.substr(from.size());
      }
    }
  }
  listings_.forget(from);
  listings_.forget(to);
  listings_.update(from, std::nullopt);
  if (fromEntry.ok()) listings_.update(to, *fromEntry);
  return 0;
}

void MountFileSystem::stored(const std::string& path, const std::string& storedAs,
                             const std::string& version) {
  if (storedAs != path) {
    // The service's file is someone else's now: the next open fetches it.
    std::lock_guard lock(mutex_);
    clean_.erase(path);
    listings_.forget(DirectoryCache::parentOf(path));
    return;
  }
  struct stat info {};
  if (::lstat(local(path).c_str(), &info) != 0) return;
  {
    std::lock_guard lock(mutex_);
    clean_[path] = CleanCopy{version, static_cast<std::uint64_t>(info.st_size), ++useClock_};
  }
  evict();
  refreshQuota(true);  // what the file took
  RemoteEntry sent;
  sent.size = static_cast<std::uint64_t>(info.st_size);
  sent.modified = info.st_mtime;
  sent.version = version;
  listings_.update(path, sent);
}

int MountFileSystem::statfs(struct statvfs* info) {
  auto quota = remote_.quota();
  if (!quota.ok()) return errnoOf(quota.status());
  constexpr std::uint64_t kBlock = 4096;
  *info = {};
  info->f_bsize = info->f_frsize = kBlock;
  info->f_blocks = quota->total / kBlock;
  info->f_bfree = info->f_bavail = (quota->total - std::min(quota->used, quota->total)) / kBlock;
  info->f_files = info->f_ffree = info->f_favail = 1'000'000;
  info->f_namemax = 255;
  return 0;
}

}  // namespace nb::cli::mount
