// DataHome says where the library's stores live (keychain, pasteboards,
// defaults): $NB_DATA_HOME, else $XDG_DATA_HOME/nb, else ~/.local/share/nb.
// Folders are created 0700; store files are meant to be 0600. Any thread.
#pragma once

#include <optional>
#include <string>

namespace nb {

class DataHome {
 public:
  // The folder, read from the environment on every call (tests change it).
  static std::string path();
  // Creates `folder` and its missing parents with mode 0700. Returns an error
  // sentence on failure, nothing on success.
  static std::optional<std::string> ensureFolder(const std::string& folder);
  // The application's home directory: $NB_HOME, else $HOME.
  static std::string homeDirectory();
};

}  // namespace nb
