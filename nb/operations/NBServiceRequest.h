// NBServiceRequest describes one signed service call before it is sent: the
// endpoint URL (no query of its own) and the request parameters in the order
// they were collected. It also holds the rules every operation shares for
// building such a description. A plain value; any thread.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "nb/Private/NBConsumer.h"
#include "nb/Private/NBToken.h"
#include "nb/Private/SignatureHelper.h"

namespace nb {

struct NBServiceRequest {
  using Parameter = std::pair<std::string, std::string>;

  std::string url;                    // endpoint, without "?"
  std::vector<Parameter> parameters;  // unencoded values, in collection order

  // The fixed-list rule: pairs are taken in order and collection stops at the
  // first absent value, which leaves that parameter and every later one out.
  static std::vector<Parameter> collectParameters(
      std::initializer_list<std::pair<const char*, const std::optional<std::string>*>> list);

  // True when `text` may stand unchanged inside a URL path: letters, digits,
  // "-._~!$&'()*+,;=:@/" and "%" followed by two hex digits. A space, "?",
  // "#", a control or non-ASCII character would make the URL invalid or change
  // its meaning, so paths inserted unencoded must pass this check.
  static bool isURLPathText(std::string_view text);

  // The parameters as the signer takes them (names are unique in every call).
  NBParameters parameterMap() const;

  // The complete signed URL (generic layout) for `httpMethod`. The consumer key
  // must be present; `token` may be null (calls made before sign-in).
  std::string signedURLString(const std::string& httpMethod, const NBConsumer& consumer,
                              const NBToken* token) const;
};

}  // namespace nb
