// libFuzzer target for the emulator's query and form parser: any text is
// parsed or refused without crashing. Built by fuzz/run with clang.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "server/RequestParameters.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)nb::server::RequestParameters::parse(
      std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
