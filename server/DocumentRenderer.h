// DocumentRenderer turns a text-like stored document (plain text, CSV) into a
// self-contained HTML page for viewing on a phone or tablet. Stateless; any thread.
#pragma once

#include <optional>
#include <string>

namespace nb::server {

class DocumentRenderer {
 public:
  // Whether `type` (the requested type code) can be rendered: "txt" and "csv".
  static bool supports(const std::string& type);
  // The HTML page for `content` of `type`; `view` is "iphone" or "iPad" and
  // sets the page width. nullopt when the content is not valid UTF-8 text.
  static std::optional<std::string> render(const std::string& type, const std::string& view,
                                           const std::string& title, const std::string& content);
};

}  // namespace nb::server
