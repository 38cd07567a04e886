// NBSignedRequest is a request ready to send: method, complete (signed) URL and,
// for posts, the form body. The sign-in operations build one per step, which
// keeps what goes on the wire visible to tests before any transport is used.
// A plain value; any thread.
#pragma once

#include <optional>
#include <string>

#include "nb/Private/NBOperationItem.h"
#include "nb/operations/NBFailure.h"
#include "nb/platform/URLRequest.h"

namespace nb {

struct NBSignedRequest {
  std::string httpMethod;           // "GET" or "POST"
  std::string url;                  // complete URL with its signed query
  std::optional<std::string> body;  // UTF-8 form text of a post; no content type is set

  // The transport request: for a GET a plain request of the URL; for a POST
  // the method and body set as well.
  URLRequest toURLRequest() const;

  // The failure to report when `item` lacks the consumer key every signature
  // needs; nullopt when it has one.
  static std::optional<NBFailure> missingConsumer(const NBOperationItem* item);
};

}  // namespace nb
