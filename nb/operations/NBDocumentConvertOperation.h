// NBDocumentConvertOperation asks the conversion service to render a stored
// document for viewing (an HTML page or a zip archive) and streams the result,
// exactly as a download, to <home>/tmp/<root>/<path without its extension>
// .html or .zip; success hands the delegate that path as text.
//
// An item whose codes fall outside their tables, or that lacks root or path,
// is refused with operationFail before any request. Threading and file rules
// are those of NBDownloadFileOperation.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "nb/operations/NBDownloadFileOperation.h"

namespace nb {

struct NBDocumentConvertOperationItem : NBFolderOperationItem {
  // "type": index into pdf, doc, zdc, csv, prn, xls, zs, ppt, zpr, txt, rtf
  std::int32_t documentType = 0;
  std::int32_t viewFormat = 0;    // "view": 0 "iphone", 1 "iPad"
  std::int32_t compressType = 0;  // "zip": 0 an HTML page, 1 a zip archive
};

class NBDocumentConvertOperation : public NBDownloadFileOperation {
 public:
  using NBDownloadFileOperation::NBDownloadFileOperation;

  // "root", "path", "zip", "type", "view" for `item`, or why it is refused.
  static Result<std::vector<NBServiceRequest::Parameter>> getParameters(
      const NBDocumentConvertOperationItem& item);
  // The document types by their code (documentType): "pdf" is 0, "rtf" 10.
  static std::span<const std::string_view> documentTypes();
  // The code of the document type `name` ("pdf" → 0), or nothing.
  static std::optional<std::int32_t> documentTypeCode(std::string_view name);
  // `path` without the extension of its last component ("/docs/report.doc" →
  // "/docs/report"); a name starting with its only dot has no extension.
  static std::string pathWithoutExtension(std::string_view path);

  // GET http://<conversion host>/1/fileops/documentView with getParameters.
  Result<NBServiceRequest> serviceRequest() const override;

 protected:
  std::optional<std::string> itemFilePath() const override;
};

}  // namespace nb
