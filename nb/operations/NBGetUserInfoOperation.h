// NBGetUserInfoOperation asks for the signed-in user's account record and hands
// the delegate an NBUserInfo. Its parameter record may be a plain
// NBOperationItem: nothing of it is read. Same threading as NBOperation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "nb/Private/NBRecord.h"
#include "nb/operations/NBFileServiceOperation.h"

namespace nb {

// The account record. Sizes are bytes, as the service sends them.
struct NBUserInfo : NBRecord {
  std::int32_t userID = 0;              // "user_id"
  std::optional<std::string> userName;  // "user_name"
  std::int64_t maxFileSize = 0;         // "max_file_size": largest single file
  std::int64_t quotaTotal = 0;          // "quota_total"
  std::int64_t quotaUsed = 0;           // "quota_used"
};

class NBGetUserInfoOperation : public NBFileServiceOperation {
 public:
  using NBFileServiceOperation::NBFileServiceOperation;

  // GET http://<API host>/1/account_info with no parameters.
  Result<NBServiceRequest> serviceRequest() const override;
  // Success: an NBUserInfo record. A reply that is not a JSON object fails.
  Result<NBResult> resultFromReply(const std::optional<std::string>& body) const override;

  // The record from a reply object; missing keys leave zero or absent fields.
  static std::shared_ptr<NBUserInfo> parseUserInfo(const JsonValue& object);
};

}  // namespace nb
