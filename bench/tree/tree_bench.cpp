// The peer side of the tree benchmark: curl config files (for `curl --parallel
// -K FILE`) holding the same signed requests that `nb put -r` / `nb get -r`
// send, one per file. bench/tree/run drives it.
//
//   bench_tree curl-upload LOCAL_DIR REMOTE_DIR BODY_DIR CONFIG
//       writes each file's multipart body to BODY_DIR and a config that posts
//       them all to REMOTE_DIR
//   bench_tree curl-download REMOTE_DIR LOCAL_DIR OUT_DIR CONFIG
//       a config that fetches REMOTE_DIR/<name> into OUT_DIR for each file of LOCAL_DIR
//
// Signs in as NB_BENCH_USER / NB_BENCH_PASSWORD under NB_CONSUMER_KEY / NB_CONSUMER_SECRET.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/Private/NBServiceRequest.h"
#include "nb/Private/internal/MultipartFormBody.h"
#include "tests/support/AccessTokenForTest.h"

namespace {

namespace fs = std::filesystem;

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

int die(const std::string& message) {
  std::fprintf(stderr, "bench_tree: %s\n", message.c_str());
  return 1;
}

std::string signedURL(const std::string& url, const std::string& method,
                      std::vector<nb::NBServiceRequest::Parameter> params) {
  nb::NBAPIInfo& info = nb::NBAPIInfo::instance();
  nb::NBServiceRequest request{url, std::move(params)};
  request.httpMethod = method;
  return request.signedURLString(*info.consumer(), info.token().get());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) return die("usage: see the head of tree_bench.cpp");
  const std::string command = argv[1];
  const std::string error =
      nb::test::installAccessToken(env("NB_CONSUMER_KEY"), env("NB_CONSUMER_SECRET"),
                                   env("NB_BENCH_USER"), env("NB_BENCH_PASSWORD"));
  if (!error.empty()) return die(error);
  const std::optional<std::string> root = "app";
  const std::optional<std::string> overwrite = "True";
  std::ofstream config(argv[5]);
  const std::string content = "http://" + nb::NBHosts::contentHost();

  if (command == "curl-upload") {
    const fs::path local = argv[2], bodies = argv[4];
    const std::string remote = argv[3];
    for (const auto& entry : fs::directory_iterator(local)) {
      const std::string name = entry.path().filename().string();
      const fs::path body = bodies / (name + ".body");
      std::ofstream out(body, std::ios::binary);
      std::ifstream in(entry.path(), std::ios::binary);
      out << nb::MultipartFormBody::partHeader(name) << in.rdbuf()
          << nb::MultipartFormBody::closingLine();
      const std::optional<std::string> path = remote + "/" + name;
      config << "url = \""
             << signedURL(content + "/1/fileops/upload_file", "POST",
                          nb::NBServiceRequest::collectParameters(
                              {{"root", &root}, {"path", &path}, {"overwrite", &overwrite}}))
             << "\"\nupload-file = \"" << body.string()
             << "\"\nrequest = POST\noutput = /dev/null\n";
    }
    return 0;
  }
  if (command == "curl-download") {
    const std::string remote = argv[2];
    const fs::path local = argv[3], out = argv[4];
    for (const auto& entry : fs::directory_iterator(local)) {
      const std::string name = entry.path().filename().string();
      const std::optional<std::string> path = remote + "/" + name;
      config << "url = \""
             << signedURL(
                    content + "/1/fileops/download_file", "GET",
                    nb::NBServiceRequest::collectParameters({{"root", &root}, {"path", &path}}))
             << "\"\noutput = \"" << (out / name).string() << "\"\n";
    }
    return 0;
  }
  return die("unknown command " + command);
}
