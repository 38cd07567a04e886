#include "nb/operations/NBCreateFolderOperation.h"

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/operations/internal/NBReply.h"

namespace nb {

Result<NBServiceRequest> NBCreateFolderOperation::serviceRequest() const {
  const auto* item = itemAs<NBFolderOperationItem>();
  if (item == nullptr)
    return Status::invalidArgument("creating a folder needs an NBFolderOperationItem");
  return NBServiceRequest{
      NBAPIInfo::fileCallScheme() + NBHosts::apiHost() + "/1/fileops/create_folder",
      NBServiceRequest::collectParameters({{"root", &item->root}, {"path", &item->path}})};
}

Result<NBResult> NBCreateFolderOperation::resultFromReply(
    const std::optional<std::string>& body) const {
  Result<JsonValue> object = NBReply::object(body);
  if (!object.ok()) return object.status();
  return NBResult::record(parseFolderInfo(*object));
}

std::shared_ptr<NBFolderInfo> NBCreateFolderOperation::parseFolderInfo(const JsonValue& object) {
  auto info = std::make_shared<NBFolderInfo>();
  info->root = NBReply::string(object, "root");
  info->path = NBReply::string(object, "path");
  info->fileID = NBReply::string(object, "file_id");
  return info;
}

}  // namespace nb
