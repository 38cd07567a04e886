// libFuzzer target for the JSON codec: whatever the parser accepts must write
// back as text that parses to an equal value, in every layout (a deep copy
// writing the same text), and whatever it refuses must leave a well-formed error
// chain. Built by fuzz/run with clang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "nb/Private/JsonFramework/NBJsonParser.h"
#include "nb/Private/JsonFramework/NBJsonWriter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  nb::NBJsonParser parser;
  const auto value = parser.fragmentWithString(text);
  if (!value) {
    const auto& trace = parser.errorTrace();
    check(!trace.empty());
    for (std::size_t i = 0; i < trace.size(); ++i) {
      check(trace[i]->underlying == (i == 0 ? nullptr : trace[i - 1]));
    }
    return 0;
  }
  check(parser.errorTrace().empty());
  const nb::JsonValue copy = *value;
  check(copy == *value);

  nb::NBJsonWriter writer;
  for (const int layout : {0, 1, 2, 3}) {
    writer.setHumanReadable((layout & 1) != 0);
    writer.setSortKeys((layout & 2) != 0);
    const auto written = writer.stringWithFragment(*value);
    check(written.has_value());
    const auto again = parser.fragmentWithString(*written);
    check(again.has_value() && *again == *value);
    check(writer.stringWithFragment(*again) == written);
    // The copy holds its text in copies of its own, not in the parser's.
    check(writer.stringWithFragment(copy) == written);
  }
  return 0;
}
