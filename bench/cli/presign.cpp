// Prints signed URLs for the consumer and access token in the credential store
// (the one `nb login` wrote), so that curl can send the requests the nb command
// sends without signing anything itself. One URL per line, each with its own
// nonce and timestamp, for the server refuses a nonce it has seen.
//
//   bench_cli_presign COUNT METHOD URL [NAME=VALUE ...]
//
// Values are given unencoded; the URL carries no query of its own.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/SignatureHelper.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s COUNT METHOD URL [NAME=VALUE ...]\n", argv[0]);
    return 2;
  }
  const int count = std::atoi(argv[1]);
  const std::string method = argv[2];
  const std::string url = argv[3];
  nb::NBParameters extra;
  for (int i = 4; i < argc; ++i) {
    const std::string pair = argv[i];
    const std::size_t equals = pair.find('=');
    if (equals == std::string::npos) {
      std::fprintf(stderr, "%s: not NAME=VALUE: %s\n", argv[0], argv[i]);
      return 2;
    }
    extra[pair.substr(0, equals)] = pair.substr(equals + 1);
  }
  const auto consumer = nb::NBAPIInfo::instance().consumer();
  const auto token = nb::NBAPIInfo::instance().token();
  if (!consumer || !token) {
    std::fprintf(stderr, "%s: no consumer and token stored (run nb login first)\n", argv[0]);
    return 3;
  }
  for (int i = 0; i < count; ++i) {
    const std::string signedUrl =
        nb::SignatureHelper::getSignatureUrlString(url, method, *consumer, token.get(), &extra);
    std::printf("%s\n", signedUrl.c_str());
  }
  return 0;
}
