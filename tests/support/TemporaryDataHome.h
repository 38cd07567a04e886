// Points NB_DATA_HOME at a fresh temporary folder for the life of the object
// and removes the folder afterwards, so store tests never touch a real home.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace nb::test {

class TemporaryDataHome {
 public:
  TemporaryDataHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nb-data-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    ::setenv("NB_DATA_HOME", path().c_str(), 1);
  }
  ~TemporaryDataHome() {
    ::unsetenv("NB_DATA_HOME");
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  // The data home itself, one level below the temporary folder, so that the
  // library has to create it.
  std::string path() const { return root_ + "/nb"; }

 private:
  std::string root_;
};

}  // namespace nb::test
