// TempDataHome points NB_DATA_HOME at a fresh temporary folder for the life of
// the object, then restores the previous value and removes the folder, so each
// test case (or each row of a table) has its own stores. Objects nest; tests
// in one binary run one at a time, since the environment is process-wide.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "tests/support/TemporaryFolder.h"

namespace nb {

class TempDataHome {
 public:
  TempDataHome() : path_(folder_.path().string()) {
    if (!folder_.ok()) ADD_FAILURE() << "cannot make a temporary folder";
    if (const char* previous = std::getenv("NB_DATA_HOME")) previous_ = previous;
    setenv("NB_DATA_HOME", path_.c_str(), 1);
  }
  ~TempDataHome() {
    if (previous_) {
      setenv("NB_DATA_HOME", previous_->c_str(), 1);
    } else {
      unsetenv("NB_DATA_HOME");
    }
  }
  TempDataHome(const TempDataHome&) = delete;
  TempDataHome& operator=(const TempDataHome&) = delete;

  const std::string& path() const { return path_; }

 private:
  test::TemporaryFolder folder_{"nb-data"};
  std::string path_;
  std::optional<std::string> previous_;
};

}  // namespace nb
