#include "nb/Private/NBServiceRequest.h"

#include "nb/platform/AsciiText.h"

namespace nb {
namespace {

bool isHexDigit(char c) { return ascii::hexValue(c) >= 0; }

bool isPathCharacter(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-._~!$&'()*+,;=:@/").find(c) != std::string_view::npos;
}

}  // namespace

std::vector<NBServiceRequest::Parameter> NBServiceRequest::collectParameters(
    std::initializer_list<std::pair<const char*, const std::optional<std::string>*>> list) {
  std::vector<Parameter> out;
  for (const auto& [name, value] : list) {
    if (!value->has_value()) break;
    out.emplace_back(name, **value);
  }
  return out;
}

bool NBServiceRequest::isURLPathText(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      if (i + 2 >= text.size() || !isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2])) {
        return false;
      }
      i += 2;
    } else if (!isPathCharacter(text[i])) {
      return false;
    }
  }
  return true;
}

std::string NBServiceRequest::signedURLString(const NBConsumer& consumer,
                                              const NBToken* token) const {
  return SignatureHelper::getSignatureUrlString(url, httpMethod, consumer, token, parameters);
}

URLRequest NBServiceRequest::toURLRequest(std::string signedURL) const {
  URLRequest request = transport ? *transport : URLRequest();
  request.setURL(std::move(signedURL));
  request.setHTTPMethod(httpMethod);
  if (formBody) request.setHTTPBody(*formBody);
  return request;
}

}  // namespace nb
