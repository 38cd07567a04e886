#include "cli/mount/MountRegistry.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace nb::cli::mount {
namespace {

namespace fs = std::filesystem;

// A short stable name for `text` (FNV-1a, 64 bits, in hex).
std::string digest(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const unsigned char c : text) hash = (hash ^ c) * 1099511628211ULL;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return hex;
}

std::string absolute(const std::string& path) {
  std::error_code error;
  const fs::path canonical = fs::weakly_canonical(path, error);
  return error ? path : canonical.string();
}

}  // namespace

std::string MountRegistry::cacheBase() {
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache == '/') {
    return std::string(cache) + "/nb";
  }
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.cache/nb";
}

std::string MountRegistry::defaultCacheFolder(const std::string& root, const std::string& remote) {
  return cacheBase() + "/mount/" + digest(root + ":" + remote);
}

std::string MountRegistry::recordFile(const std::string& mountpoint) {
  return cacheBase() + "/mounts/" + digest(absolute(mountpoint));
}

Status MountRegistry::record(const std::string& mountpoint, const MountRecord& record) {
  const std::string file = recordFile(mountpoint);
  std::error_code error;
  fs::create_directories(fs::path(file).parent_path(), error);
  std::ofstream out(file, std::ios::trunc);
  out << record.pid << '\n' << record.cacheFolder << '\n';
  out.close();
  if (!out) return Status::ioError("cannot write " + file);
  return Status::OK();
}

std::optional<MountRecord> MountRegistry::find(const std::string& mountpoint) {
  std::ifstream in(recordFile(mountpoint));
  MountRecord record;
  if (!(in >> record.pid)) return std::nullopt;
  in.ignore(1);
  if (!std::getline(in, record.cacheFolder) || record.cacheFolder.empty()) return std::nullopt;
  return record;
}

void MountRegistry::forget(const std::string& mountpoint) {
  ::unlink(recordFile(mountpoint).c_str());
}

}  // namespace nb::cli::mount
