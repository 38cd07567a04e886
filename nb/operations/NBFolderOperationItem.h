// NBFolderOperationItem names one entry of the user's storage: the storage
// root and the path within it. It is the parameter record of most file
// operations and the base of their richer records. A plain record.
#pragma once

#include <optional>
#include <string>

#include "nb/Private/NBOperationItem.h"

namespace nb {

struct NBFolderOperationItem : NBOperationItem {
  std::optional<std::string> root;  // e.g. "app"; sent as "root" or joined into the URL
  std::optional<std::string> path;  // the entry's path within the root, e.g. "/docs/a.txt"
};

}  // namespace nb
