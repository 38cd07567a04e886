#include "nb/operations/NBFileServiceOperation.h"

namespace nb {

Result<NBNetworkOperation::Step> NBFileServiceOperation::readReply(
    const std::optional<std::string>& body) {
  Result<NBResult> result = resultFromReply(body);
  if (!result.ok()) return result.status();
  return Step(std::move(*result));
}

}  // namespace nb
