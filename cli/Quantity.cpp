#include "cli/Quantity.h"

#include <charconv>
#include <limits>
#include <string>

namespace nb::cli {
namespace {

struct Unit {
  std::string_view name;
  std::uint64_t factor;
};

// A whole number followed by one of `units` (or by none: `bare` then), times
// the unit's factor; nothing when the text has another form or overflows.
std::optional<std::uint64_t> scaled(std::string_view text, std::initializer_list<Unit> units,
                                    std::uint64_t bare) {
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  const std::string_view unit(end, static_cast<std::size_t>(text.data() + text.size() - end));
  std::uint64_t factor = unit.empty() ? bare : 0;
  for (const Unit& candidate : units) {
    if (candidate.name == unit) factor = candidate.factor;
  }
  if (factor == 0 || number > std::numeric_limits<std::uint64_t>::max() / factor) {
    return std::nullopt;
  }
  return number * factor;
}

}  // namespace

Result<std::uint64_t> parseByteSize(std::string_view text, std::string_view option) {
  constexpr std::uint64_t kKiB = 1024;
  const auto bytes = scaled(text,
                            {{"k", kKiB},
                             {"K", kKiB},
                             {"m", kKiB << 10},
                             {"M", kKiB << 10},
                             {"g", kKiB << 20},
                             {"G", kKiB << 20},
                             {"t", kKiB << 30},
                             {"T", kKiB << 30}},
                            1);
  if (!bytes) {
    return Status::invalidArgument(std::string(option) +
                                   ": give a size such as 4096, 10k, 500M or 2G, not '" +
                                   std::string(text) + "'");
  }
  return *bytes;
}

Result<std::chrono::milliseconds> parseDuration(std::string_view text, std::string_view option) {
  const auto milliseconds = scaled(
      text, {{"ms", 1}, {"s", 1000}, {"m", 60'000}, {"h", 3'600'000}, {"d", 86'400'000}}, 1000);
  if (!milliseconds) {
    return Status::invalidArgument(std::string(option) +
                                   ": give a time such as 500ms, 5s, 2m or 7d, not '" +
                                   std::string(text) + "'");
  }
  return std::chrono::milliseconds(*milliseconds);
}

}  // namespace nb::cli
