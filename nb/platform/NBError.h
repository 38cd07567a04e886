// NBError describes a failure reported through an error record: the transport,
// the keychain store, the JSON codec's error trace and the device identifier all
// use it. Errors form a chain through `underlying`. Plain value; shared between
// owners through shared_ptr.
#pragma once

#include <memory>
#include <string>

namespace nb {

struct NBError {
  std::string domain;
  long code = 0;
  std::string description;              // readable text; may be empty
  std::shared_ptr<const NBError> underlying;  // the error that caused this one, if any
};

}  // namespace nb
