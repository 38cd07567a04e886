// ContentEndpoints: the content host's calls — the upload node, the streamed
// multipart upload and the streamed download. Registered once; handlers run
// on request threads. File bodies never sit whole in memory.
#pragma once

#include "server/ServiceRouter.h"

namespace nb::server {

class ContentEndpoints {
 public:
  static void registerRoutes(ServiceRouter& router);
  // Streams the blob of `entry` as the response body, with its length.
  static bool sendBlob(Call& call, const Entry& entry, const std::string& contentType);

 private:
  static void uploadLocate(Call& call);
  static void uploadFile(Call& call, const httplib::ContentReader& reader);
  static void downloadFile(Call& call);
};

}  // namespace nb::server
