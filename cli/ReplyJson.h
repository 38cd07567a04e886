// ReplyJson turns what an operation hands over as the service's reply (a parsed
// JSON value, or the reply text) into a JSON value for printing. Stateless.
#pragma once

#include <string>

#include "nb/Private/JsonFramework/JsonValue.h"
#include "nb/Private/NBResult.h"

namespace nb::cli {

class ReplyJson {
 public:
  // The reply as JSON: a parsed value as it is, text parsed when it is JSON,
  // else {"reply": text}; nil gives an empty object.
  static JsonValue from(const NBResult& result);
  // `value` as indented readable text (objects as "key: value" lines).
  static std::string plain(const JsonValue& value);
};

}  // namespace nb::cli
