#include "nb/platform/URLRequest.h"

#include <atomic>

namespace nb {
namespace {

std::atomic<double> defaultTimeout{URLRequest::kDefaultTimeoutInterval};
// Both halves in one word, so that a reader never sees one half changed.
std::atomic<std::uint64_t> defaultSpeed{0};

}  // namespace

void URLRequest::setDefaultTimeoutInterval(double seconds) {
  defaultTimeout = seconds > 0 ? seconds : kDefaultTimeoutInterval;
}

double URLRequest::defaultTimeoutInterval() { return defaultTimeout; }

void URLRequest::setDefaultMinimumSpeed(MinimumSpeed speed) {
  defaultSpeed = std::uint64_t{speed.bytesPerSecond} << 32 | speed.seconds;
}

URLRequest::MinimumSpeed URLRequest::defaultMinimumSpeed() {
  const std::uint64_t packed = defaultSpeed;
  return {static_cast<std::uint32_t>(packed >> 32), static_cast<std::uint32_t>(packed)};
}

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
