// A second process for the keychain tests: stores COUNT values "NAME-i", each
// under its own key "NAME-i", under "shared-i" (which another writer adds at
// the same moment) and under "shared" (rewritten all the time), as fast as it
// can, so that two of them race on one store. Exits 0 when every call
// succeeded; otherwise prints the failure and exits 1.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "nb/Private/KeychainUtils.h"
#include "nb/platform/SecItem.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: keychain_writer NAME COUNT\n");
    return 2;
  }
  const std::string name = argv[1];
  const int count = std::atoi(argv[2]);
  const std::string service = "www.nimbus.test";
  for (int i = 0; i < count; ++i) {
    const std::string value = name + "-" + std::to_string(i);
    for (const std::string& key : {value, "shared-" + std::to_string(i), std::string("shared")}) {
      nb::NBError error;
      if (!nb::KeychainUtils::storeKey(key, value, service, true, &error)) {
        std::fprintf(stderr, "%s: storing %s failed with %ld (%s)\n", name.c_str(), key.c_str(),
                     error.code, nb::SecItemLastStatus().toString().c_str());
        return 1;
      }
    }
  }
  return 0;
}
