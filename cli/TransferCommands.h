// The sub-commands of nb that move file contents: put, get, sync, thumb and
// convert.
// Each declaration binds the command's own options on its parser and returns
// the code that runs with them. Local files are written through LocalFiles, so
// a failure never leaves a damaged or partial file under a final name.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "cli/Command.h"
#include "cli/sync/Filter.h"

namespace nb::cli {

CommandRun declarePut(CLI::App& sub);
CommandRun declareGet(CLI::App& sub);
CommandRun declareThumbnail(CLI::App& sub);
CommandRun declareConvert(CLI::App& sub);
CommandRun declareSync(CLI::App& sub);

// The filter options of the commands that walk a tree (put -r, get -r, sync,
// ls -R): --exclude, --include, --filter-from, --min-size, --max-size, --max-age.
void addFilterOptions(CLI::App& sub, FilterFlags& flags);

// Width and height of a PNG or JPEG image, or nothing for other data.
std::optional<std::pair<int, int>> imageSize(std::string_view bytes);

}  // namespace nb::cli
