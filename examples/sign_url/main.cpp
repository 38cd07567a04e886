// Prints a signed request URL for the service's account-info call: the
// smallest program built against an installed copy of the library.
//   sign_url CONSUMER_KEY CONSUMER_SECRET [TOKEN TOKEN_SECRET]
#include <iostream>
#include <optional>

#include "nb/Private/NBHosts.h"
#include "nb/Private/SignatureHelper.h"

int main(int argc, char** argv) {
  if (argc != 3 && argc != 5) {
    std::cerr << "usage: sign_url CONSUMER_KEY CONSUMER_SECRET [TOKEN TOKEN_SECRET]\n";
    return 2;
  }
  const nb::NBConsumer consumer(argv[1], argv[2]);
  std::optional<nb::NBToken> token;
  if (argc == 5) token.emplace(argv[3], argv[4]);
  const std::string url = "http://" + nb::NBHosts::apiHost() + "/1/account_info";
  std::cout << nb::SignatureHelper::getSignatureUrlString(url, "GET", consumer,
                                                          token ? &*token : nullptr, nullptr)
            << "\n";
  return 0;
}
