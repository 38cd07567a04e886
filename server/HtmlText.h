// HtmlText makes text safe to place in an HTML page, as element content or a
// double-quoted attribute value. Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

namespace nb::server {

class HtmlText {
 public:
  // `text` with "&", "<", ">" and '"' written as character references.
  static std::string escape(std::string_view text);
};

}  // namespace nb::server
