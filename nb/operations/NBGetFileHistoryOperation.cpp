#include "nb/operations/NBGetFileHistoryOperation.h"

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/operations/internal/NBReply.h"

namespace nb {

Result<NBServiceRequest> NBGetFileHistoryOperation::serviceRequest() const {
  const auto* item = itemAs<NBFolderOperationItem>();
  if (item == nullptr)
    return Status::invalidArgument("a file history needs an NBFolderOperationItem");
  if (!item->root || !item->path)
    return Status::invalidArgument("a file history needs a root and a path");
  if (!NBServiceRequest::isURLPathText(*item->root) ||
      !NBServiceRequest::isURLPathText(*item->path)) {
    return Status::invalidArgument("the root or path cannot form a history URL: \"" + *item->root +
                                   "\", \"" + *item->path + "\"");
  }
  return NBServiceRequest{
      NBAPIInfo::fileCallScheme() + NBHosts::apiHost() + "/1/history/" + *item->root + "/" +
          *item->path,
      NBServiceRequest::collectParameters({{"root", &item->root}, {"path", &item->path}})};
}

Result<NBResult> NBGetFileHistoryOperation::resultFromReply(
    const std::optional<std::string>& body) const {
  Result<JsonValue> object = NBReply::object(body);
  if (!object.ok()) return object.status();
  auto list = presaFileHistoryInfo(*object);
  if (!list) return NBReply::notAnObject("a version in the history");
  return NBResult::record(std::move(list));
}

std::shared_ptr<NBFileHistoryList> NBGetFileHistoryOperation::presaFileHistoryInfo(
    const JsonValue& object) {
  auto list = std::make_shared<NBFileHistoryList>();
  const JsonValue* files = object.find("files");
  if (files == nullptr || !files->isArray()) return list;
  for (std::size_t i = 0; i < files->size(); ++i) {
    const JsonValue& element = (*files)[i];
    if (!element.isObject()) return nullptr;
    auto info = std::make_shared<NBFileHistoryInfo>();
    info->fileId = NBReply::string(element, "file_id");
    info->version = NBReply::string(element, "rev");
    info->createTime = NBReply::string(element, "create_time");
    list->versions.push_back(std::move(info));
  }
  return list;
}

}  // namespace nb
