// NBOperationItem is the base of every parameter record: it carries the
// application's consumer. An operation shares ownership of its item, so the
// caller may drop its own reference right after creating the operation.
#pragma once

#include <memory>

#include "nb/Private/NBConsumer.h"

namespace nb {

struct NBOperationItem {
  virtual ~NBOperationItem() = default;

  std::shared_ptr<NBConsumer> consumer;  // nullptr until set
};

}  // namespace nb
