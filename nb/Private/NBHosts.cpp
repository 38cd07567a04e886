#include "nb/Private/NBHosts.h"

#include <cstdlib>

namespace nb {
namespace {

std::string fromEnvironment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? value : fallback;
}

}  // namespace

const std::string& NBHosts::apiHost() {
  static const std::string host = fromEnvironment("NB_API_HOST", "api.nimbus.test");
  return host;
}

const std::string& NBHosts::contentHost() {
  static const std::string host = fromEnvironment("NB_CONTENT_HOST", "content.nimbus.test");
  return host;
}

const std::string& NBHosts::conversionHost() {
  static const std::string host = fromEnvironment("NB_CONVERSION_HOST", "convert.nimbus.test");
  return host;
}

const std::string& NBHosts::webHost() {
  static const std::string host = fromEnvironment("NB_WEB_HOST", "www.nimbus.test");
  return host;
}

}  // namespace nb
