#include "cli/mount/DirectoryCache.h"

namespace nb::cli::mount {

DirectoryCache::DirectoryCache(const RemoteFolder& remote, std::chrono::milliseconds lifetime)
    : remote_(remote), lifetime_(lifetime) {}

Result<std::shared_ptr<const RemoteListing>> DirectoryCache::listing(const std::string& path) {
  const auto now = std::chrono::steady_clock::now();
  std::pair<std::uint64_t, std::uint64_t> changesBefore;
  {
    std::lock_guard lock(mutex_);
    auto found = cached_.find(path);
    if (found != cached_.end() && now - found->second.fetched < lifetime_) {
      return found->second.listing;
    }
    changesBefore = {forgotten_, updated_[path]};
  }
  // Fetched without the lock: other folders stay readable meanwhile.
  auto fetched = remote_.list(path);
  if (!fetched.ok()) return fetched.status();
  auto listing = std::make_shared<const RemoteListing>(std::move(*fetched));
  std::lock_guard lock(mutex_);
  if (changesBefore == std::pair(forgotten_, updated_[path])) cached_[path] = Cached{listing, now};
  return std::shared_ptr<const RemoteListing>(listing);
}

Result<RemoteEntry> DirectoryCache::entry(const std::string& path) {
  if (path == "/") {
    RemoteEntry mounted;
    mounted.folder = true;
    return mounted;
  }
  auto parent = listing(parentOf(path));
  if (!parent.ok()) return parent.status();
  auto found = (*parent)->find(nameOf(path));
  if (found == (*parent)->end()) return Status::notFound(path);
  return found->second;
}

void DirectoryCache::forget(const std::string& path) {
  std::lock_guard lock(mutex_);
  ++forgotten_;
  const std::string below = path == "/" ? "/" : path + "/";
  for (auto it = cached_.begin(); it != cached_.end();) {
    if (it->first == path || it->first.starts_with(below)) {
      it = cached_.erase(it);
    } else {
      ++it;
    }
  }
}

void DirectoryCache::update(const std::string& path, const std::optional<RemoteEntry>& entry) {
  std::lock_guard lock(mutex_);
  ++updated_[parentOf(path)];
  auto found = cached_.find(parentOf(path));
  if (found == cached_.end()) return;
  // Listings handed out stay as they were: the change goes into a copy.
  auto changed = std::make_shared<RemoteListing>(*found->second.listing);
  if (entry) {
    (*changed)[nameOf(path)] = *entry;
  } else {
    changed->erase(nameOf(path));
  }
  found->second.listing = std::move(changed);
}

std::string DirectoryCache::parentOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string DirectoryCache::nameOf(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

}  // namespace nb::cli::mount
