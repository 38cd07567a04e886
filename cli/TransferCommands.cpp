#include "cli/TransferCommands.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <system_error>

#include "cli/CommandContext.h"
#include "cli/CredentialStore.h"
#include "cli/ExitCode.h"
#include "cli/ReplyJson.h"
#include "nb/operations/NBDocumentConvertOperation.h"
#include "nb/operations/NBDownloadFileOperation.h"
#include "nb/operations/NBThumbnailOperation.h"
#include "nb/operations/NBUploadFileOperation.h"

namespace nb::cli {
namespace fs = std::filesystem;
namespace {

const char* const kDocumentTypes[] = {"pdf", "doc", "zdc", "csv", "prn", "xls",
                                      "zs",  "ppt", "zpr", "txt", "rtf"};

std::string baseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Moves a finished download to `target` (a folder receives it under
// `fallbackName`); across file systems it copies and removes the original.
// Returns the final path, or an error sentence through `error`.
std::optional<std::string> moveInto(const std::string& from, std::string target,
                                    const std::string& fallbackName, std::string& error) {
  std::error_code code;
  if (fs::is_directory(target, code)) target = (fs::path(target) / fallbackName).string();
  fs::rename(from, target, code);
  if (code == std::errc::cross_device_link) {
    code.clear();
    fs::copy_file(from, target, fs::copy_options::overwrite_existing, code);
    if (!code) fs::remove(from, code);
  }
  if (code) {
    error = "cannot write " + target + ": " + code.message();
    return std::nullopt;
  }
  return target;
}

// Copies the file to stdout, then removes it: nothing is left behind for `get -`.
bool streamToStdout(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::cout << file.rdbuf();
  std::cout.flush();
  const bool ok = file.good() || file.eof();
  std::error_code ignored;
  fs::remove(path, ignored);
  return ok && std::cout.good();
}

std::optional<std::string> readAll(std::istream& in) {
  std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return std::nullopt;
  return data;
}

JsonValue savedValue(const std::string& remote, const std::string& local, std::uintmax_t size) {
  JsonValue value = JsonValue::object();
  value.set("remote", JsonValue(remote));
  value.set("local", JsonValue(local));
  value.set("size", JsonValue(static_cast<std::int64_t>(size)));
  return value;
}

// Puts a file that an operation left at `downloaded` where the user asked and
// prints the result.
int deliver(CommandContext& context, const std::string& downloaded, const std::string& remote,
            const std::string& target, const std::string& what) {
  if (target == "-") {
    if (!streamToStdout(downloaded)) {
      return context.printer().error("cannot write to stdout", kExitLocalFile);
    }
    return kExitOk;
  }
  std::error_code code;
  const std::uintmax_t size = fs::file_size(downloaded, code);
  std::string error;
  const auto local = moveInto(downloaded, target, baseName(downloaded), error);
  if (!local) {
    fs::remove(downloaded, code);  // the stored file is untouched; leave no stray copy
    return context.printer().error(error, kExitLocalFile);
  }
  context.printer().result(savedValue(remote, *local, code ? 0 : size),
                           what + " " + remote + " to " + *local + " (" +
                               ProgressBar::formatBytes(static_cast<double>(size)) + ")");
  return kExitOk;
}

}  // namespace

int runPut(CommandContext& context) {
  if (!CredentialStore::hasAccessToken()) return context.notSignedIn();
  const CommandOptions& options = context.options();
  const std::string local = options.local.value_or("-");
  auto item = std::make_shared<NBUploadFileOperationItem>();
  item->root = options.root;
  item->path = CommandContext::remotePath(options.to);
  item->isOverwrite = options.overwrite;
  item->fileName = baseName(*item->path);
  std::uintmax_t size = 0;
  if (local == "-") {
    auto data = readAll(std::cin);
    if (!data) return context.printer().error("cannot read stdin", kExitLocalFile);
    size = data->size();
    item->fileData = std::move(*data);
  } else {
    // A file on disk is streamed from there: memory stays flat for any size.
    std::error_code code;
    size = fs::file_size(local, code);
    if (code || !std::ifstream(local, std::ios::binary)) {
      return context.printer().error("cannot read " + local + (code ? ": " + code.message() : ""),
                                     kExitLocalFile);
    }
    item->filePath = local;
  }

  ProgressBar bar = context.progressBar();
  const OperationOutcome outcome = context.runner().perform<NBUploadFileOperation>(item, &bar);
  if (outcome.kind != OperationOutcome::Kind::kSuccess) return context.failed(outcome);
  context.printer().result(ReplyJson::from(outcome.result),
                           "Uploaded " + (local == "-" ? std::string("stdin") : local) + " to " +
                               *item->path + " (" +
                               ProgressBar::formatBytes(static_cast<double>(size)) + ")");
  return kExitOk;
}

int runGet(CommandContext& context) {
  if (!CredentialStore::hasAccessToken()) return context.notSignedIn();
  const CommandOptions& options = context.options();
  auto item = std::make_shared<NBFolderOperationItem>();
  item->root = options.root;
  item->path = CommandContext::remotePath(options.from);

  ProgressBar bar = context.progressBar();
  const OperationOutcome outcome = context.runner().perform<NBDownloadFileOperation>(item, &bar);
  if (outcome.kind != OperationOutcome::Kind::kSuccess) return context.failed(outcome);
  const std::string* downloaded = outcome.result.textValue();
  if (!downloaded) return context.printer().error("the download left no file", kExitService);
  return deliver(context, *downloaded, *item->path, options.local.value_or(baseName(*item->path)),
                 "Downloaded");
}

int runThumbnail(CommandContext& context) {
  if (!CredentialStore::hasAccessToken()) return context.notSignedIn();
  const CommandOptions& options = context.options();
  auto item = std::make_shared<NBThumbnailOperationItem>();
  item->root = options.root;
  item->path = CommandContext::remotePath(*options.path);
  item->width = options.width;
  item->height = options.height;

  const OperationOutcome outcome = context.runner().perform<NBThumbnailOperation>(item);
  if (outcome.kind != OperationOutcome::Kind::kSuccess) return context.failed(outcome);
  const std::vector<std::uint8_t>* image = outcome.result.bytesValue();
  if (!image) return context.printer().error("the service sent no image", kExitService);
  std::ofstream file(options.out, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(image->data()),
             static_cast<std::streamsize>(image->size()));
  if (!file.flush()) return context.printer().error("cannot write " + options.out, kExitLocalFile);
  context.printer().result(savedValue(*item->path, options.out, image->size()),
                           "Saved a " + std::to_string(options.width) + "x" +
                               std::to_string(options.height) + " thumbnail of " + *item->path +
                               " to " + options.out);
  return kExitOk;
}

int runConvert(CommandContext& context) {
  if (!CredentialStore::hasAccessToken()) return context.notSignedIn();
  const CommandOptions& options = context.options();
  auto item = std::make_shared<NBDocumentConvertOperationItem>();
  item->root = options.root;
  item->path = CommandContext::remotePath(*options.path);
  const auto type = std::find(std::begin(kDocumentTypes), std::end(kDocumentTypes), options.type);
  item->documentType = static_cast<std::int32_t>(type - std::begin(kDocumentTypes));
  item->viewFormat = options.view == "iPad" ? 1 : 0;
  item->compressType = options.zip ? 1 : 0;

  ProgressBar bar = context.progressBar();
  const OperationOutcome outcome = context.runner().perform<NBDocumentConvertOperation>(item, &bar);
  if (outcome.kind != OperationOutcome::Kind::kSuccess) return context.failed(outcome);
  const std::string* converted = outcome.result.textValue();
  if (!converted) return context.printer().error("the conversion left no file", kExitService);
  return deliver(context, *converted, *item->path, options.out, "Converted");
}

}  // namespace nb::cli
