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
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/BenchAccount.h"
#include "nb/Private/NBHosts.h"
#include "nb/Private/NBServiceRequest.h"
#include "nb/Private/internal/MultipartFormBody.h"

namespace {

using nb::bench::die;
using nb::bench::signedURL;

namespace fs = std::filesystem;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) return die("bench_tree", "usage: see the head of tree_bench.cpp");
  const std::string command = argv[1];
  const std::string error = nb::bench::signInFromEnvironment();
  if (!error.empty()) return die("bench_tree", error);
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
             << signedURL({content + "/1/fileops/upload_file",
                           nb::NBServiceRequest::collectParameters(
                               {{"root", &root}, {"path", &path}, {"overwrite", &overwrite}})},
                          "POST")
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
                    {content + "/1/fileops/download_file",
                     nb::NBServiceRequest::collectParameters({{"root", &root}, {"path", &path}})},
                    "GET")
             << "\"\noutput = \"" << (out / name).string() << "\"\n";
    }
    return 0;
  }
  return die("bench_tree", "unknown command " + command);
}
