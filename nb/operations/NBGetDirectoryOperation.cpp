#include "nb/operations/NBGetDirectoryOperation.h"

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/Private/NSStringHelper.h"
#include "nb/operations/internal/NBReply.h"
#include "nb/platform/AsciiText.h"

namespace nb {
namespace {

const char* sortWord(std::int32_t sortType) {
  switch (sortType) {
    case 2:
      return "name";
    case 3:
      return "size";
    default:
      return "time";
  }
}

}  // namespace

std::vector<NBServiceRequest::Parameter> NBGetDirectoryOperation::getParameters(
    const NBGetDirectoryOperationItem& item) {
  std::vector<NBServiceRequest::Parameter> params;
  params.emplace_back("list", item.isList ? "True" : "False");
  if (item.fileLimit != 10000) params.emplace_back("file_limit", std::to_string(item.fileLimit));
  params.emplace_back("page", std::to_string(item.pageIndex));
  params.emplace_back("page_size", std::to_string(item.pageSize));
  if (item.filterExt) params.emplace_back("filter_ext", ascii::lowercase(*item.filterExt));
  if (item.sortType != 0) {
    params.emplace_back("sort_by",
                        std::string(item.isDescSort ? "r" : "") + sortWord(item.sortType));
  }
  return params;
}

Result<NBServiceRequest> NBGetDirectoryOperation::serviceRequest() const {
  const auto* item = itemAs<NBGetDirectoryOperationItem>();
  if (item == nullptr)
    return Status::invalidArgument("a listing needs an NBGetDirectoryOperationItem");
  if (!item->root || item->root->empty() || !NBServiceRequest::isURLPathText(*item->root)) {
    return Status::invalidArgument("a listing needs a storage root made of URL path characters");
  }
  std::string url = NBAPIInfo::fileCallScheme() + NBHosts::apiHost() + "/1/metadata/" + *item->root;
  if (item->path) url.append(1, '/').append(NSStringHelper::urlEncodeCovertString(*item->path));
  return NBServiceRequest{std::move(url), getParameters(*item)};
}

Result<NBResult> NBGetDirectoryOperation::resultFromReply(
    const std::optional<std::string>& body) const {
  Result<JsonValue> object = NBReply::object(body);
  if (!object.ok()) return object.status();
  auto info = parseDirectoryInfo(*object);
  if (!info) return NBReply::notAnObject("an entry of the listing");
  return NBResult::record(std::move(info));
}

std::shared_ptr<NBFileInfo> NBGetDirectoryOperation::parseFileInfo(const JsonValue& object) {
  auto info = std::make_shared<NBFileInfo>();
  info->fileID = NBReply::string(object, "file_id");
  info->name = NBReply::string(object, "name");
  info->version = NBReply::string(object, "rev");
  info->createTime = NBReply::string(object, "create_time");
  info->modifyTime = NBReply::string(object, "modify_time");
  info->type = NBReply::string(object, "type") == "file" ? 0 : 1;
  const std::int64_t size = NBReply::int64(object, "size");
  info->size = size > 0 ? static_cast<std::uint64_t>(size) : 0;
  info->isDeleted = NBReply::boolean(object, "is_deleted");
  return info;
}

std::shared_ptr<NBDirectoryInfo> NBGetDirectoryOperation::parseDirectoryInfo(
    const JsonValue& object) {
  auto info = std::make_shared<NBDirectoryInfo>();
  info->root = NBReply::string(object, "root");
  info->path = NBReply::string(object, "path");
  info->hash = NBReply::string(object, "hash");
  if (const JsonValue* files = object.find("files"); files != nullptr && files->isArray()) {
    std::vector<std::shared_ptr<NBFileInfo>> entries;
    for (std::size_t i = 0; i < files->size(); ++i) {
      const JsonValue& element = (*files)[i];
      if (!element.isObject()) return nullptr;
      entries.push_back(parseFileInfo(element));
    }
    if (!entries.empty()) info->files = std::move(entries);
  }
  info->fileInfo = parseFileInfo(object);
  return info;
}

}  // namespace nb
