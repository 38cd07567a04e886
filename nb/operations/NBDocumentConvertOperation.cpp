#include "nb/operations/NBDocumentConvertOperation.h"

#include <array>

#include "nb/Private/NBHosts.h"

namespace nb {
namespace {

constexpr std::array<const char*, 11> kDocumentTypes = {"pdf", "doc", "zdc", "csv", "prn", "xls",
                                                        "zs",  "ppt", "zpr", "txt", "rtf"};
constexpr std::array<const char*, 2> kViewFormats = {"iphone", "iPad"};
constexpr std::array<const char*, 2> kCompressTypes = {"0", "1"};

// The table entry for `code`, or null when the code has none.
template <std::size_t N>
const char* entry(const std::array<const char*, N>& table, std::int32_t code) {
  if (code < 0 || static_cast<std::size_t>(code) >= N) return nullptr;
  return table[static_cast<std::size_t>(code)];
}

}  // namespace

std::variant<std::vector<NBServiceRequest::Parameter>, NBFailure>
NBDocumentConvertOperation::getParameters(const NBDocumentConvertOperationItem& item) {
  if (!item.root || !item.path) return NBFailure{"a conversion needs both root and path"};
  const char* zip = entry(kCompressTypes, item.compressType);
  const char* type = entry(kDocumentTypes, item.documentType);
  const char* view = entry(kViewFormats, item.viewFormat);
  if (zip == nullptr) {
    return NBFailure{"unknown compress type " + std::to_string(item.compressType) + " (0 or 1)"};
  }
  if (type == nullptr) {
    return NBFailure{"unknown document type " + std::to_string(item.documentType) + " (0 to 10)"};
  }
  if (view == nullptr) {
    return NBFailure{"unknown view format " + std::to_string(item.viewFormat) + " (0 or 1)"};
  }
  return std::vector<NBServiceRequest::Parameter>{
      {"root", *item.root}, {"path", *item.path}, {"zip", zip}, {"type", type}, {"view", view}};
}

std::string NBDocumentConvertOperation::pathWithoutExtension(std::string_view path) {
  const std::size_t nameStart = path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1;
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot <= nameStart) return std::string(path);
  return std::string(path.substr(0, dot));
}

std::variant<NBServiceRequest, NBFailure> NBDocumentConvertOperation::serviceRequest() const {
  const auto* item = itemAs<NBDocumentConvertOperationItem>();
  if (item == nullptr) return NBFailure{"a conversion needs an NBDocumentConvertOperationItem"};
  auto parameters = getParameters(*item);
  if (auto* failure = std::get_if<NBFailure>(&parameters)) return *failure;
  if (auto failure = checkFolderItem(item)) return *failure;
  return NBServiceRequest{"http://" + NBHosts::conversionHost() + "/1/fileops/documentView",
                          std::move(std::get<0>(parameters))};
}

std::optional<std::string> NBDocumentConvertOperation::itemFilePath() const {
  const auto* item = itemAs<NBDocumentConvertOperationItem>();
  if (item == nullptr || checkFolderItem(item) ||
      std::holds_alternative<NBFailure>(getParameters(*item))) {
    return std::nullopt;
  }
  return temporaryFilePath(*item->root, pathWithoutExtension(*item->path)) +
         (item->compressType == 1 ? ".zip" : ".html");
}

}  // namespace nb
