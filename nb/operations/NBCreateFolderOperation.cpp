#include "nb/operations/NBCreateFolderOperation.h"

#include "nb/Private/NBHosts.h"
#include "nb/operations/internal/NBReply.h"

namespace nb {

std::variant<NBServiceRequest, NBFailure> NBCreateFolderOperation::serviceRequest() const {
  const auto* item = itemAs<NBFolderOperationItem>();
  if (item == nullptr) return NBFailure{"creating a folder needs an NBFolderOperationItem"};
  return NBServiceRequest{
      "http://" + NBHosts::apiHost() + "/1/fileops/create_folder",
      NBServiceRequest::collectParameters({{"root", &item->root}, {"path", &item->path}})};
}

std::variant<NBResult, NBFailure> NBCreateFolderOperation::resultFromReply(
    const std::optional<std::string>& body) const {
  auto object = NBReply::object(body);
  if (auto* failure = std::get_if<NBFailure>(&object)) return *failure;
  return NBResult::record(parseFolderInfo(std::get<JsonValue>(object)));
}

std::shared_ptr<NBFolderInfo> NBCreateFolderOperation::parseFolderInfo(const JsonValue& object) {
  auto info = std::make_shared<NBFolderInfo>();
  info->root = NBReply::string(object, "root");
  info->path = NBReply::string(object, "path");
  info->fileID = NBReply::string(object, "file_id");
  return info;
}

}  // namespace nb
