// NBServiceRequest is the plan of one step of a service call, before it is
// signed and sent: method, endpoint, the parameters to sign into the query, how
// to sign them, and the body. NBNetworkOperation turns it into the request on
// the wire; every operation, and every step of a multi-step one, plans with it.
// It also holds the rules every operation shares for building a plan.
// A plain value; any thread.
#pragma once

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "nb/Private/NBConsumer.h"
#include "nb/Private/NBToken.h"
#include "nb/Private/SignatureHelper.h"
#include "nb/platform/URLRequest.h"

namespace nb {

struct NBServiceRequest {
  using Parameter = std::pair<std::string, std::string>;

  // Whose keys sign the query.
  enum class Signing {
    kAccessToken,  // the operation's credential source: consumer and access token
    kConsumer,     // the item's consumer, with `token` when one is given (a request token)
    kNone,         // `url` is complete as it stands (already signed, or a plain page)
  };

  NBServiceRequest() = default;
  NBServiceRequest(std::string endpoint,  // NOLINT(google-explicit-constructor)
                   std::vector<Parameter> signedParameters = {})
      : url(std::move(endpoint)), parameters(std::move(signedParameters)) {}

  std::string url;                    // endpoint, without "?" (kNone: the whole URL)
  std::vector<Parameter> parameters;  // unencoded values, in collection order
  std::string httpMethod = "GET";
  Signing signing = Signing::kAccessToken;
  std::shared_ptr<const NBToken> token;  // kConsumer: the token to sign with, if any
  // The transport request to send, when the step needs more than a method and
  // the URL (a streamed body, headers, a time-out): its URL is replaced by the
  // signed one. Absent: a plain request of the signed URL.
  std::optional<URLRequest> transport;
  std::optional<std::string> formBody;  // UTF-8 form text of a post; no content type is set

  // The fixed-list rule: pairs are taken in order and collection stops at the
  // first absent value, which leaves that parameter and every later one out.
  static std::vector<Parameter> collectParameters(
      std::initializer_list<std::pair<const char*, const std::optional<std::string>*>> list);

  // True when `text` may stand unchanged inside a URL path: letters, digits,
  // "-._~!$&'()*+,;=:@/" and "%" followed by two hex digits. A space, "?",
  // "#", a control or non-ASCII character would make the URL invalid or change
  // its meaning, so paths inserted unencoded must pass this check.
  static bool isURLPathText(std::string_view text);

  // The complete signed URL (generic layout) for this plan's method. The
  // consumer key must be present; `token` may be null (calls made before sign-in).
  std::string signedURLString(const NBConsumer& consumer, const NBToken* token) const;

  // The transport request for the complete URL `signedURL`.
  URLRequest toURLRequest(std::string signedURL) const;
};

}  // namespace nb
