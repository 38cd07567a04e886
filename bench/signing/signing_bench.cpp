// Times building generic signed URLs (fresh nonce and timestamp each) with our
// SignatureHelper against liboauth's oauth_sign_url2 (HMAC-SHA1) on the same
// request set, and prints both rates and their ratio.
#include <stddef.h>  // oauth.h uses size_t without including it

#include <oauth.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nb/Private/NSStringHelper.h"
#include "nb/Private/SignatureHelper.h"

namespace {

struct Request {
  std::string method, url;
  nb::NBParameters extra;
};

const std::vector<Request>& requests() {
  static const std::vector<Request> set = {
      {"GET", "http://api.nimbus.test/1/account_info", {}},
      {"GET",
       "http://api.nimbus.test/1/metadata/app/photos",
       {{"list", "true"}, {"file_limit", "100"}, {"page", "2"}, {"page_size", "50"}}},
      {"GET",
       "http://api.nimbus.test/1/fileops/create_folder",
       {{"root", "app"}, {"path", "/holiday pictures/2012 summer"}}},
      {"GET",
       "http://api.nimbus.test/1/fileops/move",
       {{"root", "app"}, {"from_path", "/a/b c.txt"}, {"to_path", "/d/e f~.txt"}}},
  };
  return set;
}

// The same requests as liboauth wants them: the extra parameters in the URL's query.
std::vector<std::string> urlsWithQueries() {
  std::vector<std::string> urls;
  for (const Request& r : requests()) {
    std::string url = r.url;
    char separator = '?';
    for (const auto& [name, value] : r.extra) {
      url.push_back(separator);
      separator = '&';
      url += nb::NSStringHelper::urlEncodeCovertString(name) + "=" +
             nb::NSStringHelper::urlEncodeCovertString(value);
    }
    urls.push_back(url);
  }
  return urls;
}

template <class F>
double rate(int rounds, F&& signOne) {
  const auto start = std::chrono::steady_clock::now();
  std::size_t sink = 0;
  for (int i = 0; i < rounds; ++i) sink += signOne(i);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (sink == 0) std::puts("");
  return rounds / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200000;
  const nb::NBConsumer consumer("bench-consumer-key", "bench consumer secret");
  const nb::NBToken token("bench-access-token", "bench token secret");
  const auto& set = requests();
  const auto urls = urlsWithQueries();

  // One warm-up pass each, then the timed runs.
  auto ours = [&](int i) {
    const Request& r = set[i % set.size()];
    return nb::SignatureHelper::getSignatureUrlString(r.url, r.method, consumer, &token, &r.extra)
        .size();
  };
  auto peer = [&](int i) {
    char* signed_url =
        oauth_sign_url2(urls[i % urls.size()].c_str(), nullptr, OA_HMAC, "GET",
                        "bench-consumer-key", "bench consumer secret", "bench-access-token",
                        "bench token secret");
    const std::size_t n = std::strlen(signed_url);
    std::free(signed_url);
    return n;
  };
  rate(rounds / 10, ours);
  rate(rounds / 10, peer);
  const double ourRate = rate(rounds, ours);
  const double peerRate = rate(rounds, peer);

  std::printf("%-28s %14s\n", "signer", "signed URLs/s");
  std::printf("%-28s %14.0f\n", "nb SignatureHelper", ourRate);
  std::printf("%-28s %14.0f\n", "liboauth oauth_sign_url2", peerRate);
  std::printf("signing: ratio %.2f (goal 5.0)\n", ourRate / peerRate);
  return 0;
}
