// ConversionEndpoints: the conversion host's calls — thumbnails of stored PNG
// and JPEG images, and documents rendered for viewing (text and CSV to HTML,
// optionally zipped). Registered once; handlers run on request threads.
#pragma once

#include "server/ServiceRouter.h"

namespace nb::server {

class ConversionEndpoints {
 public:
  static void registerRoutes(ServiceRouter& router);
  // Documents larger than this are not rendered.
  static constexpr std::int64_t kMaxDocument = 16LL << 20;

 private:
  static void thumbnail(Call& call);
  static void documentView(Call& call);
};

}  // namespace nb::server
