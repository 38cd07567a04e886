#include "cli/sync/DeleteLimit.h"

#include <charconv>

namespace nb::cli {

Status checkDeleteLimit(const std::string& limit, std::size_t targetFiles, std::size_t deleting) {
  std::string_view text = limit;
  if (text.empty()) text = "50%";
  const bool percent = text.back() == '%';
  if (percent) text.remove_suffix(1);
  std::size_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
      (percent && number > 100)) {
    return Status::invalidArgument(
        "--max-delete takes a number of files or a percentage (10, "
        "25%), not " +
        limit);
  }
  if (limit.empty() && targetFiles <= kHandfulOfFiles) return Status::OK();
  const std::size_t allowed = percent ? targetFiles * number / 100 : number;
  if (deleting <= allowed) return Status::OK();
  return Status::invalidArgument(
      "sync: refusing to delete " + std::to_string(deleting) + " of the target's " +
      std::to_string(targetFiles) + " files (at most " + std::to_string(allowed) +
      (percent ? ", " + std::string(text) + "%" : "") +
      "); is the source empty or mistyped? Give --max-delete N or P% to allow more");
}

}  // namespace nb::cli
