#include "nb/operations/NBGetUserInfoOperation.h"

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/operations/internal/NBReply.h"

namespace nb {

Result<NBServiceRequest> NBGetUserInfoOperation::serviceRequest() const {
  return NBServiceRequest{NBAPIInfo::fileCallScheme() + NBHosts::apiHost() + "/1/account_info", {}};
}

Result<NBResult> NBGetUserInfoOperation::resultFromReply(
    const std::optional<std::string>& body) const {
  Result<JsonValue> object = NBReply::object(body);
  if (!object.ok()) return object.status();
  return NBResult::record(parseUserInfo(*object));
}

std::shared_ptr<NBUserInfo> NBGetUserInfoOperation::parseUserInfo(const JsonValue& object) {
  auto info = std::make_shared<NBUserInfo>();
  info->userID = NBReply::int32(object, "user_id");
  info->userName = NBReply::string(object, "user_name");
  info->maxFileSize = NBReply::int64(object, "max_file_size");
  info->quotaTotal = NBReply::int64(object, "quota_total");
  info->quotaUsed = NBReply::int64(object, "quota_used");
  return info;
}

}  // namespace nb
