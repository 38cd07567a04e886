// AsciiText: case folding for protocol text (header names, hosts, keywords,
// file extensions), where only ASCII letters change case. Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

namespace nb::server {

class AsciiText {
 public:
  // `text` with A-Z turned into a-z; every other byte unchanged.
  static std::string lower(std::string_view text);
};

}  // namespace nb::server
