#include "nb/operations/NBSignInOperation.h"

namespace nb {

Status NBSignInOperation::missingConsumer() const {
  const NBOperationItem* item = _oprationItem.get();
  if (item == nullptr || !item->consumer || !item->consumer->key) {
    return Status::invalidArgument("the application's consumer key is missing");
  }
  return Status::OK();
}

}  // namespace nb
