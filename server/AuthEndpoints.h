// AuthEndpoints: the sign-in calls — xAuth access tokens, the request and
// access tokens of the three-legged flow, registration challenges (with their
// image) and registration. Registered once; handlers run on request threads.
#pragma once

#include "server/ServiceRouter.h"

namespace nb::server {

class AuthEndpoints {
 public:
  static void registerRoutes(ServiceRouter& router);

 private:
  static void xAccessToken(Call& call);
  static void requestToken(Call& call);
  static void accessToken(Call& call);
  static void verificationUrl(Call& call);
  static void verificationImage(Call& call);
  static void registerUser(Call& call);
};

}  // namespace nb::server
