#include "nb/platform/URLRequest.h"

#include <atomic>

namespace nb {
namespace {

std::atomic<double> defaultTimeout{URLRequest::kDefaultTimeoutInterval};

}  // namespace

void URLRequest::setDefaultTimeoutInterval(double seconds) {
  defaultTimeout = seconds > 0 ? seconds : kDefaultTimeoutInterval;
}

double URLRequest::defaultTimeoutInterval() { return defaultTimeout; }

URLRequest URLRequest::requestWithURL(std::string url) {
  URLRequest request;
  request.url_ = std::move(url);
  return request;
}

void URLRequest::setHTTPBody(std::string bytes) {
  body_.clear();
  body_.push_back(URLRequestBodyPart::bytes(std::move(bytes)));
  hasBody_ = true;
}

void URLRequest::setHTTPBodyParts(std::vector<URLRequestBodyPart> parts) {
  body_ = std::move(parts);
  hasBody_ = true;
}

std::int64_t URLRequest::HTTPBodyLength() const {
  std::int64_t length = 0;
  for (const URLRequestBodyPart& part : body_) {
    if (part.isFile && part.size < 0) return -1;
    length += part.isFile ? part.size : static_cast<std::int64_t>(part.data->size());
  }
  return length;
}

void URLRequest::addValue(std::string value, std::string headerField) {
  headers_.emplace_back(std::move(headerField), std::move(value));
}

void URLRequest::setTimeoutInterval(double seconds) {
  timeout_ = seconds > 0 ? seconds : defaultTimeoutInterval();
}

}  // namespace nb
