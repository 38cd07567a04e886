// For the bench programs that act as the benchmark's user: signing in from the
// environment the run scripts set, and signing one request as the library
// would send it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBServiceRequest.h"
#include "tests/support/AccessTokenForTest.h"

namespace nb::bench {

inline std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

// Prints "PROGRAM: MESSAGE" and gives the exit code for a failed run.
inline int die(const char* program, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", program, message.c_str());
  return 1;
}

// Signs in as NB_BENCH_USER / NB_BENCH_PASSWORD under NB_CONSUMER_KEY /
// NB_CONSUMER_SECRET and stores the token; the error text, empty on success.
inline std::string signInFromEnvironment() {
  return test::installAccessToken(env("NB_CONSUMER_KEY"), env("NB_CONSUMER_SECRET"),
                                  env("NB_BENCH_USER"), env("NB_BENCH_PASSWORD"));
}

// `request` sent with `method`, signed with the stored consumer and token.
inline std::string signedURL(NBServiceRequest request, const std::string& method) {
  NBAPIInfo& info = NBAPIInfo::instance();
  request.httpMethod = method;
  return request.signedURLString(*info.consumer(), info.token().get());
}

}  // namespace nb::bench
