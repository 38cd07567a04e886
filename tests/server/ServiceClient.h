// ServiceClient: a test client that signs requests with the library's own
// SignatureHelper, in the library's three URL layouts, and sends them to an
// NbServerProcess with the service's host names in the Host header. Also small
// readers for the fields of the JSON replies. One thread.
#pragma once

#include <httplib.h>

#include <optional>
#include <string>
#include <vector>

#include "nb/Private/NBConsumer.h"
#include "nb/Private/NBToken.h"
#include "nb/Private/SignatureHelper.h"
#include "tests/support/NbServerProcess.h"

namespace nb::test {

struct Reply {
  int status = 0;
  std::string body;
  std::string header(const std::string& name) const;
  httplib::Headers headers;
};

class ServiceClient {
 public:
  explicit ServiceClient(const NbServerProcess& server);

  NBConsumer consumer() const;
  // Sends `url` ("http://host/path?query") as it stands.
  Reply send(const std::string& method, const std::string& url, const std::string& body = "",
             const httplib::Headers& extra = {}, const std::string& contentType = "");
  // The library's generic layout: signed GET (or POST without a body).
  Reply signedGet(const std::string& url, const NBToken* token, const NBParameters& params = {});
  // The library's login: xAuth URL plus the password in the form body.
  Reply login(const std::string& name, const std::string& password);
  NBToken loginToken(const std::string& name, const std::string& password);
  // The library's upload post: multipart body exactly as the library builds it.
  // `scheme` is the one the node is located with ("https" for every call over TLS).
  Reply upload(const NBToken& token, const std::string& path, const std::string& content,
               bool overwrite, const std::string& root = "app", const std::string& scheme = "http");

  static const std::string& api();
  static const std::string& content();
  static const std::string& conversion();
  static const std::string& web();

 private:
  const NbServerProcess& server_;
};

// The string or number of the first "key" in `json` (nullopt when absent);
// enough for the flat replies of the service, not a JSON reader.
std::optional<std::string> jsonField(const std::string& json, const std::string& key);
// Every string value of "key" in `json`, in order (the names of a listing).
std::vector<std::string> jsonFields(const std::string& json, const std::string& key);

}  // namespace nb::test
