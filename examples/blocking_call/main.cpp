// The blocking form: one call, one Result, no run loop to drive. Prints the
// signed-in user's account.
//   blocking_call                  signs with the keychain's credentials (after `nb login`)
//   blocking_call USER PASSWORD    signs USER in first and keeps the token in memory only;
//                                  the consumer comes from NB_CONSUMER_KEY, NB_CONSUMER_SECRET
#include <cstdlib>
#include <iostream>
#include <memory>

#include "nb/client/NBClient.h"

int main(int argc, char** argv) {
  nb::NBClient client;  // the consumer and token that a sign-in stored in the keychain

  if (argc == 3) {
    const char* key = std::getenv("NB_CONSUMER_KEY");
    const char* secret = std::getenv("NB_CONSUMER_SECRET");
    if (key == nullptr || secret == nullptr) {
      std::cerr << "blocking_call: set NB_CONSUMER_KEY and NB_CONSUMER_SECRET\n";
      return 2;
    }
    const nb::NBConsumer consumer(key, secret);
    // Sign-in calls take the client's consumer; no token is needed yet.
    const nb::NBClient signIn(nb::NBCredentialSource::fixed(consumer, std::nullopt));
    auto login = std::make_shared<nb::NBAuthOperationItem>();
    login->userName = argv[1];
    login->password = argv[2];
    login->httpMethod = "POST";
    nb::Result<std::shared_ptr<nb::NBToken>> token = signIn.call<nb::NBXAuthOperation>(login);
    if (!token.ok()) {
      std::cerr << "sign-in: " << token.status().toString() << '\n';
      return 1;
    }
    client = nb::NBClient(nb::NBCredentialSource::fixed(consumer, **token));
  } else if (argc != 1) {
    std::cerr << "usage: blocking_call [USER PASSWORD]\n";
    return 2;
  }

  nb::Result<std::shared_ptr<nb::NBUserInfo>> info = client.call<nb::NBGetUserInfoOperation>();
  if (!info.ok()) {
    // The code says what kind of failure it was; the message is for the user.
    std::cerr << nb::statusCodeName(info.status().code()) << ": " << info.status().message()
              << '\n';
    return 1;
  }
  std::cout << (*info)->userName.value_or("?") << " uses " << (*info)->quotaUsed << " of "
            << (*info)->quotaTotal << " bytes\n";
  return 0;
}
