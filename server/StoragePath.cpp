#include "server/StoragePath.h"

#include <cctype>
#include <cstdint>
#include <vector>

namespace nb::server {
bool StoragePath::validUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t extra = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are refused.
    if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

std::optional<std::string> StoragePath::normalise(std::string_view path) {
  if (path.size() > kMaxPath || !validUtf8(path)) return std::nullopt;
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
  std::string ext = base.substr(dot + 1);
  for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

}  // namespace nb::server
