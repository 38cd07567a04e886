#include "server/StoragePath.h"

#include <cctype>
#include <vector>

#include "nb/Private/NSURLHelper.h"
#include "nb/platform/AsciiText.h"

namespace nb::server {

std::optional<std::string> StoragePath::normalise(std::string_view path) {
  if (path.size() > kMaxPath || !NSURLHelper::isValidUTF8(path)) return std::nullopt;
  std::string out;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view segment = path.substr(start, end - start);
    start = end + 1;
    if (segment.empty() || segment == ".") continue;
    if (segment == ".." || segment.size() > kMaxName) return std::nullopt;
    for (const char c : segment) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::nullopt;
    }
    out += '/';
    out += segment;
  }
  return out.empty() ? "/" : out;
}

bool StoragePath::validRoot(std::string_view root) {
  if (root.empty() || root.size() > 64) return false;
  for (const char c : root) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
  }
  return true;
}

std::string StoragePath::parent(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string StoragePath::name(const std::string& path) {
  return path == "/" ? "" : path.substr(path.rfind('/') + 1);
}

bool StoragePath::within(const std::string& path, const std::string& folder) {
  if (folder == "/") return true;
  return path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
          path[folder.size()] == '/');
}

std::string StoragePath::extension(const std::string& path) {
  const std::string base = name(path);
  const auto dot = base.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  return ascii::lowercase(std::string_view(base).substr(dot + 1));
}

}  // namespace nb::server
