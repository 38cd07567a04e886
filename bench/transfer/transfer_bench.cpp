// One side of the transfer benchmark, run once per process so that each
// measurement has its own peak memory. bench/transfer/run drives it.
//
//   bench_transfer download PATH             our download of app:PATH
//   bench_transfer upload-memory FILE PATH   our upload of FILE's bytes held in memory
//   bench_transfer upload-disk FILE PATH     our upload of FILE streamed from disk
//   bench_transfer curl-upload FILE BODY     writes the multipart body of FILE to BODY and
//                                            prints the signed upload URL for curl
//   bench_transfer curl-download PATH        prints the signed download URL for curl
//
// The timed runs print "seconds bytes peak_rss_kib cpu_seconds", the CPU
// (user and system, all threads) used between start and outcome. All sign in as the user
// NB_BENCH_USER / NB_BENCH_PASSWORD under NB_CONSUMER_KEY / NB_CONSUMER_SECRET.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "bench/BenchAccount.h"
#include "nb/Private/NBHosts.h"
#include "nb/Private/NBServiceRequest.h"
#include "nb/Private/internal/MultipartFormBody.h"
#include "nb/operations/NBDownloadFileOperation.h"
#include "nb/operations/NBUploadFileOperation.h"
#include "nb/platform/RunLoop.h"

namespace {

using nb::bench::die;
using nb::bench::signedURL;

using Clock = std::chrono::steady_clock;

struct Outcome : nb::NBOperationDelegate {
  bool done = false;
  std::string failure;
  void operationSuccess(nb::NBOperation*, const nb::NBResult&) override { done = true; }
  void operationFail(nb::NBOperation*, const std::string& message) override {
    failure = message;
    done = true;
  }
};

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long peakRssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// Runs `operation` to its outcome and prints the timing line.
int timed(const std::shared_ptr<nb::NBOperation>& operation, Outcome& outcome, std::int64_t bytes) {
  const double cpuStart = cpuSeconds();
  const auto start = Clock::now();
  operation->executeOperation();
  nb::RunLoop::current().runUntil([&] { return outcome.done; }, std::chrono::minutes(10));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = cpuSeconds() - cpuStart;
  if (!outcome.done) return die("bench_transfer", "no outcome within 10 minutes");
  if (!outcome.failure.empty()) return die("bench_transfer", outcome.failure);
  std::printf("%.6f %lld %ld %.3f\n", seconds, static_cast<long long>(bytes), peakRssKiB(), cpu);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return die("bench_transfer", "usage: see the head of transfer_bench.cpp");
  const std::string command = argv[1];
  const std::string error = nb::bench::signInFromEnvironment();
  if (!error.empty()) return die("bench_transfer", error);
  const std::optional<std::string> root = "app";

  if (command == "download" || command == "curl-download") {
    const std::optional<std::string> path = argv[2];
    if (command == "curl-download") {
      std::puts(
          signedURL({"http://" + nb::NBHosts::contentHost() + "/1/fileops/download_file",
                     nb::NBServiceRequest::collectParameters({{"root", &root}, {"path", &path}})},
                    "GET")
              .c_str());
      return 0;
    }
    auto item = std::make_shared<nb::NBFolderOperationItem>();
    item->root = root;
    item->path = path;
    Outcome outcome;
    auto operation = std::make_shared<nb::NBDownloadFileOperation>(&outcome, item);
    const auto target = nb::NBDownloadFileOperation::temporaryFilePath(*root, *path);
    const int status = timed(operation, outcome, -1);
    std::filesystem::remove(target);
    return status;
  }

  if (argc < 4) return die("bench_transfer", "missing argument");
  const std::string file = argv[2];
  const std::optional<std::string> path = argv[3];
  const auto size = static_cast<std::int64_t>(std::filesystem::file_size(file));
  auto item = std::make_shared<nb::NBUploadFileOperationItem>();
  item->root = root;
  item->path = path;
  item->fileName = std::filesystem::path(*path).filename().string();
  item->isOverwrite = true;

  if (command == "curl-upload") {
    // argv[3] is where the body goes; the stored path is fixed.
    const std::string bodyFile = argv[3];
    const std::string name = "curl.bin";
    std::ofstream body(bodyFile, std::ios::binary);
    std::ifstream in(file, std::ios::binary);
    body << nb::MultipartFormBody::partHeader(name) << in.rdbuf()
         << nb::MultipartFormBody::closingLine();
    const std::optional<std::string> curlPath = "/bench-" + name;
    const std::optional<std::string> overwrite = "True";
    std::puts(signedURL({"http://" + nb::NBHosts::contentHost() + "/1/fileops/upload_file",
                         nb::NBServiceRequest::collectParameters(
                             {{"root", &root}, {"path", &curlPath}, {"overwrite", &overwrite}})},
                        "POST")
                  .c_str());
    return 0;
  }
  if (command == "upload-disk") {
    item->filePath = file;
  } else if (command == "upload-memory") {
    std::ifstream in(file, std::ios::binary);
    item->fileData.resize(static_cast<std::size_t>(size));
    in.read(item->fileData.data(), size);
  } else {
    return die("bench_transfer", "unknown command " + command);
  }
  Outcome outcome;
  return timed(std::make_shared<nb::NBUploadFileOperation>(&outcome, item), outcome, size);
}
