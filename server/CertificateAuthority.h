// CertificateAuthority: the emulator's own CA, made once per data folder, and
// the server certificate it signs for the four host names (renewed at every
// start, so changed host names are always covered). Used at start-up only.
#pragma once

#include <string>
#include <vector>

#include "nb/Status.h"

namespace nb::server {

class CertificateAuthority {
 public:
  // Files under `folder`: ca.pem / ca.key (kept), server.pem / server.key.
  explicit CertificateAuthority(std::string folder) : folder_(std::move(folder)) {}

  // Makes the CA when absent and a fresh server certificate for `hosts`
  // (plus localhost and 127.0.0.1). False with `error` set on failure.
  Status prepare(const std::vector<std::string>& hosts);

  std::string caFile() const { return folder_ + "/ca.pem"; }
  std::string certFile() const { return folder_ + "/server.pem"; }
  std::string keyFile() const { return folder_ + "/server.key"; }

 private:
  std::string folder_;
};

}  // namespace nb::server
