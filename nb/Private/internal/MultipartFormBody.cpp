#include "nb/Private/internal/MultipartFormBody.h"

namespace nb {

std::string MultipartFormBody::contentType() {
  return "multipart/form-data; boundary=" + std::string(kBoundary);
}

std::string MultipartFormBody::partHeader(std::string_view fileName) {
  std::string header = "--";
  header.append(kBoundary);
  header.append("\r\nContent-Disposition: form-data; name=\"file\"; filename=\"");
  header.append(fileName);
  header.append("\"\r\nContent-Type: application/octet-stream\r\n\r\n");
  return header;
}

std::string MultipartFormBody::closingLine() { return "\r\n--" + std::string(kBoundary) + "--"; }

bool MultipartFormBody::isSafeFileName(std::string_view fileName) {
  return fileName.find_first_of("\"\r\n") == std::string_view::npos;
}

}  // namespace nb
