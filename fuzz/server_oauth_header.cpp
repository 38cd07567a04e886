// libFuzzer target for the emulator's OAuth Authorization header parser: any
// header is parsed or refused without crashing, and what it yields never
// contains "realm". Built by fuzz/run with clang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "server/RequestParameters.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  nb::server::RequestParameters params;
  nb::server::RequestParameters::addAuthorization(
      std::string_view(reinterpret_cast<const char*>(data), size), &params);
  for (const auto& pair : params.pairs()) {
    if (pair.first == "realm") std::abort();
  }
  return 0;
}
