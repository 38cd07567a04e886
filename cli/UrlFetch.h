// UrlFetch downloads one small resource (the registration challenge's image)
// into memory through the library's transport, on the main run loop, so that
// the emulator mappings and CA file of the environment apply as they do to
// every operation. Main thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <variant>

namespace nb::cli {

struct UrlFetchError {
  std::string message;
  bool timedOut = false;
};

class UrlFetch {
 public:
  // The body of a 200 response, or why there is none. A body longer than
  // `maxBytes` is a failure, found as soon as the bytes pass it.
  static std::variant<std::string, UrlFetchError> get(const std::string& url,
                                                      std::chrono::seconds timeout,
                                                      std::size_t maxBytes);
};

}  // namespace nb::cli
