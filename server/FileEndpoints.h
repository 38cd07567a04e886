// FileEndpoints: the API host's calls on a signed-in user's storage — account
// information, metadata listings, folder creation, delete, move, copy, copy
// references, shares and version history. Registered once; handlers run on
// request threads and touch only the calling user's tree (copy references
// excepted, which are made to be passed to another account).
#pragma once

#include "server/ServiceRouter.h"

namespace nb::server {

class FileEndpoints {
 public:
  static void registerRoutes(ServiceRouter& router);

 private:
  static void accountInfo(Call& call);
  static void metadata(Call& call);
  static void createFolder(Call& call);
  static void remove(Call& call);
  static void move(Call& call);
  static void copy(Call& call);
  static void copyRef(Call& call);
  static void share(Call& call);
  static void history(Call& call);
};

}  // namespace nb::server
