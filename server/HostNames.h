// HostNames: the four host roles the emulator serves, told apart by the Host
// header. The names are the library's (NB_API_HOST and friends override them).
// Immutable after construction; any thread.
#pragma once

#include <string>
#include <vector>

namespace nb::server {

enum class HostRole { kApi, kContent, kConversion, kWeb, kUnknown };

class HostNames {
 public:
  HostNames();
  // The role of a Host header value ("api.nimbus.test", "API.nimbus.test:8080").
  HostRole roleOf(const std::string& hostHeader) const;
  const std::string& name(HostRole role) const;
  std::vector<std::string> all() const { return {api_, content_, conversion_, web_}; }
  // curl's --connect-to list sending every host, on ports 80 and 443, to loopback.
  std::string connectTo(int httpPort, int httpsPort) const;

 private:
  std::string api_, content_, conversion_, web_;
};

}  // namespace nb::server
