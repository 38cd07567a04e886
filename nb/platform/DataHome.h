// DataHome says where the library's stores live (keychain, pasteboards,
// defaults): $NB_DATA_HOME, else $XDG_DATA_HOME/nb, else ~/.local/share/nb.
// Folders are created 0700; store files are meant to be 0600. Any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

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

  // A store's file or folder whose access was narrowed to its owner.
  struct Narrowed {
    std::string path;
    unsigned before = 0;  // the permission bits it had
    unsigned after = 0;   // and has now
  };
  // Takes the group's and others' access away from the store file `file` and
  // from the folder it is in, where they have any (an existing keychain.db of
  // 0644 becomes 0600, its folder of 0755 becomes 0700), so that secrets
  // written next are the owner's alone. Returns what it changed, for the
  // caller to tell; what does not exist or cannot be changed is left.
  static std::vector<Narrowed> makePrivate(const std::string& file);
};

}  // namespace nb
