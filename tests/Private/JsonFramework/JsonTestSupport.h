// Lets GoogleTest print a JsonValue as its JSON text in failure messages.
#pragma once

#include <ostream>

#include "nb/Private/JsonFramework/JsonValue.h"
#include "nb/Private/JsonFramework/NBJsonWriter.h"

namespace nb {

inline void PrintTo(const JsonValue& value, std::ostream* os) {
  NBJsonWriter writer;
  writer.setMaxDepth(0);
  *os << writer.stringWithFragment(value).value_or("<unwritable>");
}

}  // namespace nb
