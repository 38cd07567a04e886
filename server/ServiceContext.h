// ServiceContext: the stores and settings every endpoint works with. Made once
// by the server process, which owns everything it refers to and outlives the
// listeners; endpoints use it from any request thread.
#pragma once

#include <string>

#include "server/AccountStore.h"
#include "server/BlobStore.h"
#include "server/FileTree.h"
#include "server/HostNames.h"
#include "server/OAuthVerifier.h"

namespace nb::server {

struct ServiceContext {
  AccountStore& accounts;
  FileTree& tree;
  const BlobStore& blobs;
  OAuthVerifier& verifier;
  const HostNames& hosts;
  bool dev = false;
  std::string devCode;  // the fixed verification code in development mode
};

}  // namespace nb::server
