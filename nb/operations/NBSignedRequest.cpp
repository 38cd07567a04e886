#include "nb/operations/NBSignedRequest.h"

namespace nb {

URLRequest NBSignedRequest::toURLRequest() const {
  URLRequest request = URLRequest::requestWithURL(url);
  if (httpMethod != "GET") request.setHTTPMethod(httpMethod);
  if (body) request.setHTTPBody(*body);
  return request;
}

std::optional<NBFailure> NBSignedRequest::missingConsumer(const NBOperationItem* item) {
  if (item == nullptr || !item->consumer || !item->consumer->key) {
    return NBFailure{"the application's consumer key is missing"};
  }
  return std::nullopt;
}

}  // namespace nb
