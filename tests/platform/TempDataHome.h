// TempDataHome points NB_DATA_HOME at a fresh temporary folder for the life of
// the object and removes the folder afterwards, so each test case has its own
// stores. Tests in one binary run one at a time; the environment is shared.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace nb {

class TempDataHome {
 public:
  TempDataHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nb-data-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
    setenv("NB_DATA_HOME", path_.c_str(), 1);
  }
  ~TempDataHome() {
    unsetenv("NB_DATA_HOME");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDataHome(const TempDataHome&) = delete;
  TempDataHome& operator=(const TempDataHome&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace nb
