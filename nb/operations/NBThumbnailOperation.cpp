#include "nb/operations/NBThumbnailOperation.h"

#include "nb/Private/NBHosts.h"
#include "nb/Private/ParseError.h"

namespace nb {

std::variant<NBServiceRequest, NBFailure> NBThumbnailOperation::serviceRequest() const {
  const auto* item = itemAs<NBThumbnailOperationItem>();
  if (item == nullptr) return NBFailure{"a thumbnail needs an NBThumbnailOperationItem"};
  const std::optional<std::string> width = std::to_string(item->width);
  const std::optional<std::string> height = std::to_string(item->height);
  return NBServiceRequest{
      "http://" + NBHosts::conversionHost() + "/1/fileops/thumbnail",
      NBServiceRequest::collectParameters(
          {{"root", &item->root}, {"path", &item->path}, {"width", &width}, {"height", &height}})};
}

std::variant<NBResult, NBFailure> NBThumbnailOperation::resultFromReply(
    const std::optional<std::string>& body) const {
  if (!body) return NBResult::bytes({});
  return NBResult::bytes(std::vector<std::uint8_t>(body->begin(), body->end()));
}

bool NBThumbnailOperation::handleErrorCode(const std::string& status) {
  if (status == "200") return false;
  reportFail(ParseError::getNormalErrorMessage(status));
  return true;
}

}  // namespace nb
