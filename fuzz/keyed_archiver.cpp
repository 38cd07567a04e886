// libFuzzer target for the keyed-archive format: whatever the decoder accepts
// must archive again and decode to the same bytes' value (a fixed point after
// one round), and whatever it refuses must come with an error text.
// Built by fuzz/run with clang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "fuzz/FuzzCheck.h"
#include "nb/platform/KeyedArchiver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string error;
  const auto value = nb::KeyedArchiver::unarchiveObjectWithData(std::span(data, size), &error);
  if (!value) {
    check(!error.empty());
    return 0;
  }
  const auto once = nb::KeyedArchiver::archivedDataWithRootObject(*value);
  check(once.has_value());
  const auto back = nb::KeyedArchiver::unarchiveObjectWithData(*once);
  check(back.has_value());
  // Compared as bytes, so that a NaN real still counts as equal to itself.
  check(nb::KeyedArchiver::archivedDataWithRootObject(*back) == once);
  return 0;
}
