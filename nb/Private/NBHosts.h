// The service's four host roles. Each is a library constant with a default,
// overridable for another deployment through the environment (read once):
// NB_API_HOST, NB_CONTENT_HOST, NB_CONVERSION_HOST, NB_WEB_HOST.
// The web host is also the keychain service name of the stored credentials.
#pragma once

#include <string>

namespace nb {

class NBHosts {
 public:
  static const std::string& apiHost();         // default "api.nimbus.test"
  static const std::string& contentHost();     // default "content.nimbus.test"
  static const std::string& conversionHost();  // default "convert.nimbus.test"
  static const std::string& webHost();         // default "www.nimbus.test"

  // Whether requests to `host` on `port` stay on this machine: NB_CONNECT_TO
  // maps them to a loopback address, or the name resolves to loopback
  // addresses only. A name that does not resolve counts as leaving it.
  static bool staysOnThisMachine(const std::string& host, int port);
};

}  // namespace nb
