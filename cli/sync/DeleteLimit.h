// The safety net of `sync --delete`: how many of the target's files one run
// may delete, so that an emptied or mistyped source never wipes the target.
// Pure; any thread.
#pragma once

#include <cstddef>
#include <string>

#include "nb/Status.h"

namespace nb::cli {

// Targets of at most this many files have no limit by default.
inline constexpr std::size_t kHandfulOfFiles = 10;

// Ok when deleting `deleting` of the target's `targetFiles` files stays within
// `limit`: "N" files or "P%" of the target; empty means 50% of a target of
// more than kHandfulOfFiles files. An unreadable limit, or a run past it, is
// an invalid-argument Status that says how to allow it.
Status checkDeleteLimit(const std::string& limit, std::size_t targetFiles, std::size_t deleting);

}  // namespace nb::cli
