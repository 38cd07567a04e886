#include "nb/operations/NBThumbnailOperation.h"

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"

namespace nb {

Result<NBServiceRequest> NBThumbnailOperation::serviceRequest() const {
  const auto* item = itemAs<NBThumbnailOperationItem>();
  if (item == nullptr)
    return Status::invalidArgument("a thumbnail needs an NBThumbnailOperationItem");
  const std::optional<std::string> width = std::to_string(item->width);
  const std::optional<std::string> height = std::to_string(item->height);
  return NBServiceRequest{
      NBAPIInfo::fileCallScheme() + NBHosts::conversionHost() + "/1/fileops/thumbnail",
      NBServiceRequest::collectParameters(
          {{"root", &item->root}, {"path", &item->path}, {"width", &width}, {"height", &height}})};
}

Result<NBResult> NBThumbnailOperation::resultFromReply(
    const std::optional<std::string>& body) const {
  if (!body) return NBResult::bytes({});
  return NBResult::bytes(std::vector<std::uint8_t>(body->begin(), body->end()));
}

}  // namespace nb
