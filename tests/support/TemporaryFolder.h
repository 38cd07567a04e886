// TemporaryFolder makes a fresh, private folder under the system's temporary
// directory ("<prefix>-XXXXXX") and removes it, with all it holds, when it is
// destroyed. For tests; one object, one folder.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace nb::test {

class TemporaryFolder {
 public:
  explicit TemporaryFolder(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  // False when the folder could not be made; path() is then empty.
  bool ok() const { return !path_.empty(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace nb::test
