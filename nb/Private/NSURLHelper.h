// NSURLHelper parses a URL query into name/value pairs and decodes its
// percent-escapes. Stateless; any thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace nb {

class NSURLHelper {
 public:
  // Splits `query` at "&" and each piece at "="; only pieces with exactly one
  // "=" count. Names are kept as written; values are percent-decoded as UTF-8
  // ("+" stays "+"). A piece whose value does not decode to valid UTF-8 is
  // ignored. The last occurrence of a name wins. Absent gives an empty map.
  static std::map<std::string, std::string> parseURLQueryString(
      std::optional<std::string_view> query);

  // Percent-decodes `s`; nullopt for a malformed escape or bytes that are not UTF-8.
  static std::optional<std::string> percentDecode(std::string_view s);
  // Percent-decodes `s` into whatever bytes it spells; nullopt only for a
  // malformed escape ("%" not followed by two hex digits). "+" stays "+".
  static std::optional<std::string> percentDecodeBytes(std::string_view s);

  // Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
  static bool isValidUTF8(std::string_view s);
};

}  // namespace nb
