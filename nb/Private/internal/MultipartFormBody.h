// MultipartFormBody frames one file as the multipart form that the upload node
// accepts: a part header naming the file, the file's bytes unchanged, and the
// closing delimiter (with no line break after it). The framing is fixed text,
// so the body's length is known before any byte is read. Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nb {

class MultipartFormBody {
 public:
  static constexpr std::string_view kBoundary = "----------ThIs_Is_tHe_bouNdaRY_$";

  // "multipart/form-data; boundary=" followed by the boundary.
  static std::string contentType();
  // The text before the file's bytes, with `fileName` inserted unchanged.
  static std::string partHeader(std::string_view fileName);
  // The text after the file's bytes.
  static std::string closingLine();
  // True when `fileName` can stand inside the quoted filename of the part header:
  // a double quote, CR or LF would end the quotes or the header line early.
  static bool isSafeFileName(std::string_view fileName);
};

}  // namespace nb
