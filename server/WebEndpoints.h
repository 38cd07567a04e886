// WebEndpoints: the web host's pages — the authorisation page of the
// three-legged flow (with its sign-in form) and the pages behind share links.
// Registered once; handlers run on request threads.
#pragma once

#include "server/ServiceRouter.h"

namespace nb::server {

class WebEndpoints {
 public:
  static void registerRoutes(ServiceRouter& router);

 private:
  static void authorisePage(Call& call);
  static void authoriseSignIn(Call& call);
  static void sharePage(Call& call);
};

}  // namespace nb::server
