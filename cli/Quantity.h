// Quantities typed on nb's command line, read one way everywhere: byte sizes
// ("4096", "10k", "5M", "1G", "2T": powers of 1024, either case) and
// durations ("500ms", "90", "90s", "15m", "12h", "7d": a bare number is
// seconds). Whole numbers only. A failure names `option` and an example.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

#include "nb/Status.h"

namespace nb::cli {

Result<std::uint64_t> parseByteSize(std::string_view text, std::string_view option);
Result<std::chrono::milliseconds> parseDuration(std::string_view text, std::string_view option);

}  // namespace nb::cli
