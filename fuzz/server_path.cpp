// libFuzzer target for the emulator's path normaliser: a normalised path is
// absolute, within the length limits, holds no "." or ".." component and no
// empty one, and normalises to itself. Built by fuzz/run with clang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "server/StoragePath.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nb::server::StoragePath;
  const auto path =
      StoragePath::normalise(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!path) return 0;
  check(!path->empty() && (*path)[0] == '/' && path->size() <= StoragePath::kMaxPath);
  check(StoragePath::normalise(*path) == path);
  if (*path != "/") {
    check(path->back() != '/');
    for (std::size_t start = 1; start <= path->size();) {
      std::size_t end = path->find('/', start);
      if (end == std::string::npos) end = path->size();
      const std::string_view name = std::string_view(*path).substr(start, end - start);
      check(!name.empty() && name != "." && name != ".." && name.size() <= StoragePath::kMaxName);
      start = end + 1;
    }
  }
  return 0;
}
