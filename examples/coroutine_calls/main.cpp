// The coroutine form: co_await each call inside a coroutine. NBTask is the
// library's small coroutine type; a coroutine type of your own works as well.
// Creates a folder, uploads a file into it with progress and lists it, as the
// keychain's signed-in user (after `nb login`).
//   coroutine_calls [FOLDER]
#include <iostream>
#include <memory>
#include <string>

#include "nb/client/NBClient.h"
#include "nb/client/NBTask.h"

namespace {

nb::NBTask<int> upload(nb::NBClient client, std::string folder) {
  auto create = std::make_shared<nb::NBFolderOperationItem>();
  create->root = "app";
  create->path = folder;
  nb::Result<std::shared_ptr<nb::NBFolderInfo>> created =
      co_await client.callAwaitable<nb::NBCreateFolderOperation>(create);
  // After co_await the coroutine runs on the library's loop thread: further
  // calls are awaited too, never made blocking.
  if (!created.ok() && created.status().code() != nb::StatusCode::kAlreadyExists) {
    std::cerr << "create folder: " << created.status().toString() << '\n';
    co_return 1;
  }

  auto file = std::make_shared<nb::NBUploadFileOperationItem>();
  file->root = "app";
  file->path = folder + "/hello.txt";
  file->fileName = "hello.txt";
  file->fileData = "Hello from a coroutine.\n";
  file->isOverwrite = true;
  nb::NBCallOptions options;
  options.progress = [](std::int64_t sent, std::int64_t total) {
    std::cout << "sent " << sent << " of " << total << " bytes\n";
  };
  nb::Result<std::string> reply =
      co_await client.callAwaitable<nb::NBUploadFileOperation>(file, options);
  if (!reply.ok()) {
    std::cerr << "upload: " << reply.status().toString() << '\n';
    co_return 1;
  }

  auto listing = std::make_shared<nb::NBGetDirectoryOperationItem>();
  listing->root = "app";
  listing->path = folder;
  nb::Result<std::shared_ptr<nb::NBDirectoryInfo>> directory =
      co_await client.callAwaitable<nb::NBGetDirectoryOperation>(listing);
  if (!directory.ok()) {
    std::cerr << "list: " << directory.status().toString() << '\n';
    co_return 1;
  }
  if ((*directory)->files) {
    for (const auto& entry : *(*directory)->files) {
      std::cout << folder << '/' << entry->name.value_or("?") << ' ' << entry->size << '\n';
    }
  }
  co_return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const nb::NBClient client;
  // get() runs the coroutine and waits for it on this thread.
  return upload(client, argc > 1 ? argv[1] : "/from-a-coroutine").get();
}
