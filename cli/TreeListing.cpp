#include "cli/TreeListing.h"

#include <algorithm>

#include "nb/Private/NSURLHelper.h"

namespace nb::cli {

bool storableName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  const bool refused = std::any_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f || c == '/' || c == '\\';
  });
  return !refused && NSURLHelper::isValidUTF8(name);
}

bool uploadableName(std::string_view name) {
  return storableName(name) && name.find('"') == std::string_view::npos;
}

}  // namespace nb::cli
