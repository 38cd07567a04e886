// ParseError turns what the service reports as an error into the message shown
// to the user: an HTTP status (as decimal text) through one of three status
// tables, or the English keyword of a reply's "msg" field. Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

namespace nb {

class ParseError {
 public:
  // Each returns the table's message for `status`, or the table's default.
  static std::string getUploadFileErrorMessage(std::string_view status);
  static std::string getDownloadFileErrorMessage(std::string_view status);
  static std::string getNormalErrorMessage(std::string_view status);
  // The message for a service keyword; an unknown keyword is returned unchanged.
  static std::string transformMessage(std::string_view keyword);
};

}  // namespace nb
