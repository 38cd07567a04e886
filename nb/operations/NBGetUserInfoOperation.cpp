#include "nb/operations/NBGetUserInfoOperation.h"

#include "nb/Private/NBHosts.h"
#include "nb/operations/internal/NBReply.h"

namespace nb {

std::variant<NBServiceRequest, NBFailure> NBGetUserInfoOperation::serviceRequest() const {
  return NBServiceRequest{"http://" + NBHosts::apiHost() + "/1/account_info", {}};
}

std::variant<NBResult, NBFailure> NBGetUserInfoOperation::resultFromReply(
    const std::optional<std::string>& body) const {
  auto object = NBReply::object(body);
  if (auto* failure = std::get_if<NBFailure>(&object)) return *failure;
  return NBResult::record(parseUserInfo(std::get<JsonValue>(object)));
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
