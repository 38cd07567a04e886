#include "nb/operations/NBDocumentConvertOperation.h"

#include <array>

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"

namespace nb {
namespace {

constexpr std::array<std::string_view, 11> kDocumentTypes = {
    "pdf", "doc", "zdc", "csv", "prn", "xls", "zs", "ppt", "zpr", "txt", "rtf"};
constexpr std::array<const char*, 2> kViewFormats = {"iphone", "iPad"};
constexpr std::array<const char*, 2> kCompressTypes = {"0", "1"};

// The table entry for `code`, or null when the code has none.
template <class T, std::size_t N>
const T* entry(const std::array<T, N>& table, std::int32_t code) {
  if (code < 0 || static_cast<std::size_t>(code) >= N) return nullptr;
  return &table[static_cast<std::size_t>(code)];
}

}  // namespace

std::span<const std::string_view> NBDocumentConvertOperation::documentTypes() {
  return kDocumentTypes;
}

std::optional<std::int32_t> NBDocumentConvertOperation::documentTypeCode(std::string_view name) {
  for (std::size_t i = 0; i < kDocumentTypes.size(); ++i) {
    if (kDocumentTypes[i] == name) return static_cast<std::int32_t>(i);
  }
  return std::nullopt;
}

Result<std::vector<NBServiceRequest::Parameter>> NBDocumentConvertOperation::getParameters(
    const NBDocumentConvertOperationItem& item) {
  if (!item.root || !item.path)
    return Status::invalidArgument("a conversion needs both root and path");
  const auto* zip = entry(kCompressTypes, item.compressType);
  const auto* type = entry(kDocumentTypes, item.documentType);
  const auto* view = entry(kViewFormats, item.viewFormat);
  if (zip == nullptr) {
    return Status::invalidArgument("unknown compress type " + std::to_string(item.compressType) +
                                   " (0 or 1)");
  }
  if (type == nullptr) {
    return Status::invalidArgument("unknown document type " + std::to_string(item.documentType) +
                                   " (0 to 10)");
  }
  if (view == nullptr) {
    return Status::invalidArgument("unknown view format " + std::to_string(item.viewFormat) +
                                   " (0 or 1)");
  }
  return std::vector<NBServiceRequest::Parameter>{{"root", *item.root},
                                                  {"path", *item.path},
                                                  {"zip", *zip},
                                                  {"type", std::string(*type)},
                                                  {"view", *view}};
}

std::string NBDocumentConvertOperation::pathWithoutExtension(std::string_view path) {
  const std::size_t nameStart = path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1;
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot <= nameStart) return std::string(path);
  return std::string(path.substr(0, dot));
}

Result<NBServiceRequest> NBDocumentConvertOperation::serviceRequest() const {
  const auto* item = itemAs<NBDocumentConvertOperationItem>();
  if (item == nullptr)
    return Status::invalidArgument("a conversion needs an NBDocumentConvertOperationItem");
  auto parameters = getParameters(*item);
  if (!parameters.ok()) return parameters.status();
  if (Status status = checkFolderItem(item); !status.ok()) return status;
  return NBServiceRequest{
      NBAPIInfo::fileCallScheme() + NBHosts::conversionHost() + "/1/fileops/documentView",
      std::move(*parameters)};
}

std::optional<std::string> NBDocumentConvertOperation::itemFilePath() const {
  const auto* item = itemAs<NBDocumentConvertOperationItem>();
  if (item == nullptr || !checkFolderItem(item).ok() || !getParameters(*item).ok()) {
    return std::nullopt;
  }
  return temporaryFilePath(*item->root, pathWithoutExtension(*item->path)) +
         (item->compressType == 1 ? ".zip" : ".html");
}

}  // namespace nb
