#include "nb/Private/internal/ServiceMessage.h"

namespace nb {
namespace {

constexpr std::string_view kKey = "\"msg\"";

bool isJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// `at` moved past JSON white space, then past `token` if it follows; false if not.
bool skipThen(std::string_view body, std::size_t& at, std::string_view token) {
  while (at < body.size() && isJsonSpace(body[at])) ++at;
  if (body.substr(at, token.size()) != token) return false;
  at += token.size();
  return true;
}

}  // namespace

bool mayCarryServiceMessage(std::string_view body) {
  if (body.find("\\u") != std::string_view::npos) return true;
  const std::size_t first = body.find(kKey);
  if (first == std::string_view::npos) return false;
  // A later member with the same key would replace the first one's value.
  if (body.find(kKey, first + kKey.size()) != std::string_view::npos) return true;
  std::size_t at = 0;
  if (!skipThen(body, at, "{") || !skipThen(body, at, kKey)) return true;
  if (at != first + kKey.size()) return true;
  if (!skipThen(body, at, ":") || !skipThen(body, at, "\"ok\"")) return true;
  // Whatever follows, the object's "msg" is "ok", or the body is no JSON at all.
  return !(skipThen(body, at, ",") || skipThen(body, at, "}"));
}

}  // namespace nb
