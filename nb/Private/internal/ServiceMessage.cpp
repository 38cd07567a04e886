#include "nb/Private/internal/ServiceMessage.h"

#include <cstring>

#include "nb/Private/JsonFramework/internal/JsonWhitespace.h"

namespace nb {
namespace {

constexpr std::string_view kKey = "\"msg\"";

// Where `body` holds `c` followed by `rest`, from `from` on; npos when nowhere.
// The search runs on memchr for `c`, a letter few replies use, instead of on
// the quote that opens "msg" and every other key and string.
std::size_t findAfter(std::string_view body, std::size_t from, char c, std::string_view rest) {
  const char* const end = body.data() + body.size();
  for (const char* at = body.data() + from; at < end; ++at) {
    at = static_cast<const char*>(std::memchr(at, c, static_cast<std::size_t>(end - at)));
    if (at == nullptr) break;
    if (std::string_view(at + 1, static_cast<std::size_t>(end - at - 1)).substr(0, rest.size()) ==
        rest) {
      return static_cast<std::size_t>(at - body.data());
    }
  }
  return std::string_view::npos;
}

// The first "msg" key (with its quotes) from `from` on; npos when none.
std::size_t findKey(std::string_view body, std::size_t from) {
  for (;;) {
    const std::size_t m = findAfter(body, from, 'm', "sg\"");
    if (m == std::string_view::npos) return m;
    if (m > 0 && body[m - 1] == '"') return m - 1;
    from = m + 1;
  }
}

// `at` moved past white space as the parser counts it, then past `token` if
// it follows; false if not.
bool skipThen(std::string_view body, std::size_t& at, std::string_view token) {
  while (at < body.size() && detail::isJsonWhitespace(body[at])) ++at;
  if (body.substr(at, token.size()) != token) return false;
  at += token.size();
  return true;
}

}  // namespace

bool mayCarryServiceMessage(std::string_view body) {
  if (findAfter(body, 0, '\\', "u") != std::string_view::npos) return true;
  const std::size_t first = findKey(body, 0);
  if (first == std::string_view::npos) return false;
  // A later member with the same key would replace the first one's value.
  if (findKey(body, first + kKey.size()) != std::string_view::npos) return true;
  std::size_t at = 0;
  if (!skipThen(body, at, "{") || !skipThen(body, at, kKey)) return true;
  if (at != first + kKey.size()) return true;
  if (!skipThen(body, at, ":") || !skipThen(body, at, "\"ok\"")) return true;
  // Whatever follows, the object's "msg" is "ok", or the body is no JSON at all.
  return !(skipThen(body, at, ",") || skipThen(body, at, "}"));
}

}  // namespace nb
