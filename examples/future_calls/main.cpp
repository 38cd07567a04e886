// The future form: start several calls at once, do other work, collect each
// outcome with get(). Lists a folder of the keychain's signed-in user (after
// `nb login`) while fetching the account, with a time-out and a way to cancel.
//   future_calls [FOLDER]
#include <chrono>
#include <future>
#include <iostream>
#include <memory>
#include <stop_token>

#include "nb/client/NBClient.h"

int main(int argc, char** argv) {
  const nb::NBClient client;

  auto listing = std::make_shared<nb::NBGetDirectoryOperationItem>();
  listing->root = "app";
  listing->path = argc > 1 ? argv[1] : "/";

  std::stop_source stop;  // stop.request_stop() from any thread cancels the listing
  nb::NBCallOptions options;
  options.cancel = stop.get_token();
  options.idleTimeout = std::chrono::seconds(20);

  // Both requests are in flight together.
  std::future<nb::Result<std::shared_ptr<nb::NBDirectoryInfo>>> folder =
      client.callFuture<nb::NBGetDirectoryOperation>(listing, options);
  std::future<nb::Result<std::shared_ptr<nb::NBUserInfo>>> account =
      client.callFuture<nb::NBGetUserInfoOperation>();

  nb::Result<std::shared_ptr<nb::NBUserInfo>> info = account.get();
  nb::Result<std::shared_ptr<nb::NBDirectoryInfo>> directory = folder.get();
  if (!info.ok() || !directory.ok()) {
    std::cerr << (info.ok() ? directory.status() : info.status()).toString() << '\n';
    return 1;
  }
  std::cout << (*info)->userName.value_or("?") << ": " << *listing->path << '\n';
  if ((*directory)->files) {
    for (const auto& file : *(*directory)->files) {
      std::cout << (file->type == 0 ? "  " : "d ") << file->name.value_or("?") << '\n';
    }
  }
  return 0;
}
