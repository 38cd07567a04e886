#include "nb/platform/DataHome.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace nb {
namespace {

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

}  // namespace

std::string DataHome::homeDirectory() {
  if (auto home = environment("NB_HOME")) return *home;
  return environment("HOME").value_or("/");
}

std::string DataHome::path() {
  if (auto explicitHome = environment("NB_DATA_HOME")) return *explicitHome;
  if (auto xdg = environment("XDG_DATA_HOME")) return *xdg + "/nb";
  return homeDirectory() + "/.local/share/nb";
}

std::optional<std::string> DataHome::ensureFolder(const std::string& folder) {
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string prefix = folder.substr(0, slash);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      return "cannot create folder " + prefix + ": " + std::strerror(errno);
    }
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return "not a folder: " + folder;
  }
  return std::nullopt;
}

std::vector<DataHome::Narrowed> DataHome::makePrivate(const std::string& file) {
  const auto slash = file.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : file.substr(0, slash ? slash : 1);
  std::vector<Narrowed> changed;
  for (const auto& [path, allowed] : {std::pair{folder, 0700u}, std::pair{file, 0600u}}) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) continue;
    const unsigned before = info.st_mode & 07777;
    if ((before & 077) == 0) continue;
    const unsigned after = before & allowed;
    if (::chmod(path.c_str(), after) == 0) changed.push_back({path, before, after});
  }
  return changed;
}

}  // namespace nb
