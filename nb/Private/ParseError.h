// ParseError turns what the service reports as an error into the message shown
// to the user: an HTTP status (as decimal text) through one of three status
// tables, or the English keyword of a reply's "msg" field. Each table row also
// names the library's StatusCode for that cause, so the message and the code
// of a failure are decided in one place. Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

#include "nb/Status.h"

namespace nb {

// Which status table judges an operation's HTTP status: none (every status goes
// on to the body), or the upload, download or general table, where every status
// other than "200" is a failure.
enum class NBStatusTable { kNone, kNormal, kUpload, kDownload };

class ParseError {
 public:
  // Each returns the table's message for `status`, or the table's default.
  static std::string getUploadFileErrorMessage(std::string_view status);
  static std::string getDownloadFileErrorMessage(std::string_view status);
  static std::string getNormalErrorMessage(std::string_view status);
  // The message for a service keyword; an unknown keyword is returned unchanged.
  static std::string transformMessage(std::string_view keyword);

  // The same messages as failures whose code names the cause (a status or
  // keyword without a row: kService).
  static Status uploadFileFailure(std::string_view status);
  static Status downloadFileFailure(std::string_view status);
  static Status normalFailure(std::string_view status);
  static Status serviceFailure(std::string_view keyword);
  // The failure of `status` under `table`: ok for kNone and for "200".
  static Status statusFailure(NBStatusTable table, std::string_view status);
};

}  // namespace nb
