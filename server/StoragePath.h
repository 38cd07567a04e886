// StoragePath: turns a client-supplied path into the canonical form stored in
// metadata.db ("/" or "/a/b"), refusing anything that could leave the user's
// tree or that no file system would hold. Stateless; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nb::server {

class StoragePath {
 public:
  static constexpr std::size_t kMaxName = 255;
  static constexpr std::size_t kMaxPath = 4096;

  // Empty segments and "." collapse; ".." anywhere, NUL or other control
  // characters, invalid UTF-8, names over 255 bytes or paths over 4096 bytes
  // give nullopt. "" and "/" are the root.
  static std::optional<std::string> normalise(std::string_view path);
  // A root name: 1 to 64 of letters, digits, "_" and "-".
  static bool validRoot(std::string_view root);

  static std::string parent(const std::string& path);  // "/" for "/a"
  static std::string name(const std::string& path);    // "" for "/"
  // Whether `path` is `folder` itself or lies below it.
  static bool within(const std::string& path, const std::string& folder);
  // The extension after the last "." of the name, lower-cased; "" when none.
  static std::string extension(const std::string& path);
};

}  // namespace nb::server
