// What `nb sync` does, worked out from the two sides' listings before anything
// moves: the folders to make, the files to send and the entries to delete on
// the target side. Pure: no file or service is touched, except through the
// content comparison the caller hands in. Any thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/TreeListing.h"
#include "nb/Status.h"

namespace nb::cli {

// The one way a sync goes.
enum class SyncDirection { kUpload, kDownload };

// The direction of `nb sync SOURCE TARGET`: exactly one side is remote, marked
// "nb:" (nb:/photos); two local sides, two remote ones or none marked is a
// usage error that says how to write it.
Result<SyncDirection> syncDirection(std::string_view source, std::string_view target);

struct SyncPlan {
  // Target entries of the other kind where the source has a file or a folder
  // (with all that is under them): removed before the source's entry is made.
  // A target folder is replaced by a file only with `deleteExtra`.
  std::vector<std::string> replaced;
  std::vector<std::string> folders;    // relative paths of folders to make on the target side
  std::vector<std::string> transfers;  // relative paths of files to send
  std::vector<std::string> deletions;  // relative paths to remove, none below another
};

// Whether the file at a relative path holds the same bytes on both sides.
using SameContent = std::function<Result<bool>(const std::string& relative)>;

// What the last run remembers of a file both sides have: both copies as it
// left them (in step), one of them changed since, or nothing remembered.
enum class Memory { kUnknown, kInStep, kChanged };
using Remembered = std::function<Memory(const TreeEntry& source, const TreeEntry& target)>;

// A file is sent when the target lacks it (or has a folder there) or when
// `remembered` says a side changed since the last run. Without a memory of
// it, it is sent when the sizes differ or the source copy is newer. With
// `sameContent` (--checksum), files not otherwise sent are sent when their
// contents differ. With `deleteExtra`, what the target has and the source
// does not is deleted. Both listings come folders before their contents. A
// failed comparison is the Status.
Result<SyncPlan> planSync(const std::vector<TreeEntry>& source,
                          const std::vector<TreeEntry>& target, bool deleteExtra,
                          const SameContent& sameContent = nullptr,
                          const Remembered& remembered = nullptr);

}  // namespace nb::cli
