// NBSignInOperation is the base of the sign-in and registration operations:
// requests made before there is an access token, signed with the item's
// consumer (the request procedure itself is NBNetworkOperation's). Same
// threading as NBOperation.
#pragma once

#include <memory>

#include "nb/Private/NBNetworkOperation.h"
#include "nb/Status.h"

namespace nb {

class NBSignInOperation : public NBNetworkOperation {
 public:
  using NBNetworkOperation::NBNetworkOperation;

 protected:
  // The failure to report when the item lacks the consumer key every
  // signature needs; ok when it has one.
  Status missingConsumer() const;
  // A reply's record as the success result, or its failure.
  template <class T>
  static Result<Step> recordStep(Result<std::shared_ptr<T>> record) {
    if (!record.ok()) return record.status();
    return Step(NBResult::record(std::move(*record)));
  }
};

}  // namespace nb
