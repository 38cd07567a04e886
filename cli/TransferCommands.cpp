#include "cli/TransferCommands.h"

#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "cli/CommandContext.h"
#include "cli/DownloadStream.h"
#include "cli/LocalFiles.h"
#include "cli/ReplyJson.h"
#include "cli/TreeListing.h"
#include "cli/TreeTransfer.h"
#include "nb/operations/NBDocumentConvertOperation.h"
#include "nb/operations/NBGetDirectoryOperation.h"
#include "nb/operations/NBThumbnailOperation.h"
#include "nb/operations/NBUploadFileOperation.h"

namespace nb::cli {
namespace {

// The conversion's document types, in the order of the service's "type" index.
const std::vector<std::string> kDocumentTypes = {"pdf", "doc", "zdc", "csv", "prn", "xls",
                                                 "zs",  "ppt", "zpr", "txt", "rtf"};

std::string baseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

JsonValue savedValue(const std::string& remote, const std::string& local, std::uint64_t size) {
  JsonValue value = JsonValue::object();
  value.set("remote", JsonValue(remote));
  value.set("local", JsonValue(local));
  value.set("size", JsonValue(static_cast<std::int64_t>(size)));
  return value;
}

std::string sizeText(std::uint64_t size) {
  return ProgressBar::formatBytes(static_cast<double>(size));
}

// Writes `bytes` to `out` (a folder receives `name`) through a partial file.
Result<DownloadTarget> saveBytes(const std::string& out, const std::string& name,
                                 std::string_view bytes, bool force) {
  auto target = LocalFiles::downloadTarget(out, name, force);
  if (!target.ok()) return target.status();
  auto file = PartialFile::beside(target->path, target->mode);
  if (!file.ok()) return file.status();
  if (Status status = (*file)->write(bytes); !status.ok()) return status;
  if (Status status = (*file)->commit(target->mode); !status.ok()) return status;
  return target;
}

struct PutOptions {
  std::string local;
  std::string remote;
  bool overwrite = false;
};

Status runPut(CommandContext& context, const PutOptions& o) {
  const bool fromStdin = o.local == "-";
  std::string remote = CommandContext::remotePath(o.remote);
  if (remote.ends_with('/')) {
    if (fromStdin)
      return Status::invalidArgument("put -: give the remote file's name, not a folder");
    remote += baseName(o.local);  // "put FILE /dir/" puts it into the folder
  }
  // Refused before anything is read or sent, as the tree commands skip such names.
  if (!uploadableName(baseName(remote))) {
    return Status::invalidArgument("cannot upload to " + remote + ": " + kUnstorableName +
                                   " (control characters, backslash, double quote or invalid "
                                   "UTF-8)");
  }
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  auto item = std::make_shared<NBUploadFileOperationItem>();
  item->root = context.options().root;
  item->path = remote;
  item->isOverwrite = o.overwrite;
  item->fileName = baseName(remote);

  // A regular file is sent from where it is; anything else (stdin, a pipe, a
  // /proc file whose size reads as 0) is read to its end into a private
  // temporary file first, so memory stays flat and the size is the real one.
  std::unique_ptr<PartialFile> spooled;
  std::uint64_t size = 0;
  const auto spool = fromStdin ? Result<bool>(true) : LocalFiles::needsSpool(o.local);
  if (!spool.ok()) return spool.status();
  if (*spool) {
    const int fd = fromStdin ? STDIN_FILENO : ::open(o.local.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Status::ioError("cannot read " + o.local + ": " + std::strerror(errno));
    auto file = LocalFiles::spool(fd, fromStdin ? "stdin" : o.local);
    if (!fromStdin) ::close(fd);
    if (!file.ok()) return file.status();
    spooled = std::move(*file);
    size = spooled->size();
    item->filePath = spooled->path();
  } else {
    std::ifstream check(o.local, std::ios::binary | std::ios::ate);
    if (!check) return Status::ioError("cannot read " + o.local + ": " + std::strerror(errno));
    size = static_cast<std::uint64_t>(check.tellg());
    item->filePath = o.local;
  }

  ProgressBar bar = context.progressBar();
  bar.setPayloadBytes(static_cast<std::int64_t>(size));
  const auto outcome = context.perform<NBUploadFileOperation>(item, &bar);
  if (!outcome.ok()) return outcome.status();
  JsonValue reply = ReplyJson::from(*outcome);
  if (reply.isObject()) reply.set("uploaded_bytes", JsonValue(static_cast<std::int64_t>(size)));
  context.printer().result(reply, "Uploaded " + (fromStdin ? std::string("stdin") : o.local) +
                                      " to " + remote + " (" + sizeText(size) + ")");
  return Status::OK();
}

struct GetOptions {
  std::string remote;
  std::optional<std::string> local;
  bool force = false;
};

// The size the service lists for the file at `remote`: the bound of a
// download whose reply announces no length.
Result<std::uint64_t> listedSize(CommandContext& context, const std::string& remote) {
  auto item = std::make_shared<NBGetDirectoryOperationItem>();
  item->root = context.options().root;
  item->path = remote;
  const auto outcome = context.perform<NBGetDirectoryOperation>(item);
  if (!outcome.ok()) return outcome.status();
  const auto listing = outcome->recordAs<NBDirectoryInfo>();
  if (!listing || !listing->fileInfo) return Status::corruption("the service sent no listing");
  return listing->fileInfo->size;
}

Status runGet(CommandContext& context, const GetOptions& o) {
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  const std::string remote = CommandContext::remotePath(o.remote);
  const auto idle = std::chrono::seconds(context.options().timeoutSeconds);
  ProgressBar bar = context.progressBar();
  const auto lookUpSize = [&context, &remote] { return listedSize(context, remote); };
  if (o.local == "-") {
    // Bytes reach stdout as they arrive; nothing is kept anywhere else.
    return DownloadStream::run(context.options().root, remote, STDOUT_FILENO,
                               "cannot write to stdout", &bar, idle, nullptr, lookUpSize);
  }
  auto target =
      LocalFiles::downloadTarget(o.local.value_or(baseName(remote)), baseName(remote), o.force);
  if (!target.ok()) return target.status();
  auto file = PartialFile::beside(target->path, target->mode);
  if (!file.ok()) return file.status();
  std::uint64_t received = 0;
  Status status =
      DownloadStream::run(context.options().root, remote, (*file)->fd(),
                          "cannot write " + target->path, &bar, idle, &received, lookUpSize);
  if (!status.ok()) return status;  // the partial file goes; the target is untouched
  if (status = (*file)->commit(target->mode); !status.ok()) return status;
  context.printer().result(
      savedValue(remote, target->path, received),
      "Downloaded " + remote + " to " + target->path + " (" + sizeText(received) + ")");
  return Status::OK();
}

struct ImageOptions {
  std::string path;
  std::string out;
  int width = 0;
  int height = 0;
  bool force = false;
};

Status runThumbnail(CommandContext& context, const ImageOptions& o) {
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  auto item = std::make_shared<NBThumbnailOperationItem>();
  item->root = context.options().root;
  item->path = CommandContext::remotePath(o.path);
  item->width = o.width;
  item->height = o.height;
  const auto outcome = context.perform<NBThumbnailOperation>(item);
  if (!outcome.ok()) return outcome.status();
  const std::vector<std::uint8_t>* image = outcome->bytesValue();
  if (!image) return Status::corruption("the service sent no image");
  const std::string_view bytes(reinterpret_cast<const char*>(image->data()), image->size());
  const auto saved = saveBytes(o.out, baseName(*item->path), bytes, o.force);
  if (!saved.ok()) return saved.status();
  // The service keeps the image's proportions inside the box asked for: tell
  // the size it really has.
  const auto size = imageSize(bytes);
  JsonValue value = savedValue(*item->path, saved->path, image->size());
  value.set("width", size ? JsonValue(static_cast<std::int64_t>(size->first)) : JsonValue());
  value.set("height", size ? JsonValue(static_cast<std::int64_t>(size->second)) : JsonValue());
  const std::string dimensions =
      size ? std::to_string(size->first) + "x" + std::to_string(size->second) : "";
  context.printer().result(value, "Saved a " + (size ? dimensions + " " : std::string()) +
                                      "thumbnail of " + *item->path + " to " + saved->path);
  return Status::OK();
}

struct ConvertOptions {
  std::string path;
  std::string out;
  std::string type;
  std::string view = "iphone";
  bool zip = false;
  bool force = false;
};

Status runConvert(CommandContext& context, const ConvertOptions& o) {
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  auto item = std::make_shared<NBDocumentConvertOperationItem>();
  item->root = context.options().root;
  item->path = CommandContext::remotePath(o.path);
  const auto type = std::find(kDocumentTypes.begin(), kDocumentTypes.end(), o.type);
  item->documentType = static_cast<std::int32_t>(type - kDocumentTypes.begin());
  item->viewFormat = o.view == "iPad" ? 1 : 0;
  item->compressType = o.zip ? 1 : 0;
  // Checked before the request, so a refused target costs no conversion.
  if (auto target = LocalFiles::downloadTarget(o.out, baseName(o.path), o.force); !target.ok()) {
    return target.status();
  }

  ProgressBar bar = context.progressBar();
  const auto outcome = context.perform<NBDocumentConvertOperation>(item, &bar);
  if (!outcome.ok()) return outcome.status();
  const std::string* converted = outcome->textValue();
  if (!converted) return Status::corruption("the conversion left no file");
  std::ifstream in(*converted, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  const bool read = static_cast<bool>(in) || in.eof();
  ::unlink(converted->c_str());
  if (!read) return Status::ioError("cannot read the converted file " + *converted);
  const std::string text = bytes.str();
  const auto saved = saveBytes(o.out, baseName(o.path), text, o.force);
  if (!saved.ok()) return saved.status();
  context.printer().result(
      savedValue(*item->path, saved->path, text.size()),
      "Converted " + *item->path + " to " + saved->path + " (" + sizeText(text.size()) + ")");
  return Status::OK();
}

std::uint32_t bigEndian(std::string_view bytes, std::size_t at, int width) {
  std::uint32_t value = 0;
  for (int i = 0; i < width; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

}  // namespace

std::optional<std::pair<int, int>> imageSize(std::string_view bytes) {
  if (bytes.size() >= 24 && bytes.substr(0, 8) == "\x89PNG\r\n\x1a\n" &&
      bytes.substr(12, 4) == "IHDR") {
    return std::pair<int, int>(static_cast<int>(bigEndian(bytes, 16, 4)),
                               static_cast<int>(bigEndian(bytes, 20, 4)));
  }
  if (bytes.size() < 4 || bytes.substr(0, 2) != "\xff\xd8") return std::nullopt;
  // JPEG: walk the segments to the first start-of-frame marker.
  std::size_t at = 2;
  while (at + 4 <= bytes.size()) {
    if (static_cast<unsigned char>(bytes[at]) != 0xff) return std::nullopt;
    const unsigned marker = static_cast<unsigned char>(bytes[at + 1]);
    if (marker == 0xff) {
      ++at;
      continue;
    }
    const std::size_t length = bigEndian(bytes, at + 2, 2);
    const bool startOfFrame =
        marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
    if (startOfFrame && at + 9 <= bytes.size()) {
      return std::pair<int, int>(static_cast<int>(bigEndian(bytes, at + 7, 2)),
                                 static_cast<int>(bigEndian(bytes, at + 5, 2)));
    }
    at += 2 + length;
  }
  return std::nullopt;
}

// A local argument given with the remote marker: refused rather than guessed at.
Status refuseMarked(const std::string& local) {
  if (!CommandContext::markedRemote(local)) return Status::OK();
  return Status::invalidArgument(local +
                                 " is marked remote (nb:) where a local path is wanted; a local "
                                 "name that starts with nb: is written ./" +
                                 local);
}

// -x, for the forms that walk a local tree.
void addOneFileSystem(CLI::App& sub, TreeOptions& o) {
  sub.add_flag("-x,--one-file-system", o.oneFileSystem,
               "Stay on the file system of the local folder: skip folders mounted below it");
}

// The options of the many-file forms, shared by put and get.
void addTreeOptions(CLI::App& sub, TreeOptions& o) {
  addFilterOptions(sub, o.filter);
  sub.add_flag("-r,--recursive", o.recursive, "Transfer folders with everything in them");
  sub.add_option("--transfers", o.transfers, "Files in flight at once (-r, several sources)")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  sub.add_option("--retries", o.retries,
                 "Attempts after a network failure, time-out or server error, with back-off")
      ->check(CLI::Range(0, 20))
      ->capture_default_str();
}

void addFilterOptions(CLI::App& sub, FilterFlags& o) {
  sub.add_option("--exclude", o.options.excludes,
                 "Leave out what matches this pattern (gitignore syntax; repeatable)")
      ->allow_extra_args(false);
  sub.add_option("--include", o.options.includes,
                 "Take only files that match one of these patterns (repeatable)")
      ->allow_extra_args(false);
  sub.add_option("--filter-from", o.options.filterFiles,
                 "Read exclude rules from this file, one a line (gitignore syntax)")
      ->allow_extra_args(false);
  sub.add_option("--min-size", o.minSize, "Leave out files smaller than this (10k, 5M, 1G)");
  sub.add_option("--max-size", o.maxSize, "Leave out files larger than this (10k, 5M, 1G)");
  sub.add_option("--max-age", o.maxAge,
                 "Leave out files modified longer ago than this (90s, 15m, 12h, 7d)");
}

CommandRun declarePut(CLI::App& sub) {
  auto paths = std::make_shared<std::vector<std::string>>();
  auto tree = std::make_shared<TreeOptions>();
  sub.add_option("LOCAL... REMOTE", *paths,
                 "Local files (- for stdin) and the remote path (nb:/path or /path); a REMOTE "
                 "ending in /, or several sources, means into that folder")
      ->expected(2, -1)
      ->required();
  sub.add_flag("--overwrite", tree->overwrite, "Replace existing files");
  addTreeOptions(sub, *tree);
  addOneFileSystem(sub, *tree);
  return [paths, tree](CommandContext& context) {
    for (auto local = paths->begin(); local + 1 != paths->end(); ++local) {
      if (Status status = refuseMarked(*local); !status.ok()) return status;
    }
    if (paths->size() == 2 && !tree->recursive) {
      return runPut(context, PutOptions{paths->front(), paths->back(), tree->overwrite});
    }
    TreeOptions o = *tree;
    o.sources.assign(paths->begin(), paths->end() - 1);
    o.target = paths->back();
    return TreeTransfer::put(context, o);
  };
}

CommandRun declareGet(CLI::App& sub) {
  auto o = std::make_shared<GetOptions>();
  auto tree = std::make_shared<TreeOptions>();
  sub.add_option("REMOTE", o->remote, "Remote path (nb:/path or /path)")->required();
  sub.add_option("LOCAL", o->local,
                 "Local file or folder, or - for stdout (default: the remote name here)");
  sub.add_flag("-f,--force", o->force, "Replace local files even if they are read-only");
  addTreeOptions(sub, *tree);
  return [o, tree](CommandContext& context) {
    if (Status status = refuseMarked(o->local.value_or("")); !status.ok()) return status;
    if (!tree->recursive) return runGet(context, *o);
    if (o->local == "-") return Status::invalidArgument("get -r writes into a folder, not stdout");
    TreeOptions options = *tree;
    options.force = o->force;
    options.sources = {o->remote};
    const std::string remote = CommandContext::remotePath(o->remote);
    options.target = o->local.value_or(remote.substr(remote.find_last_of('/') + 1));
    return TreeTransfer::get(context, options);
  };
}

CommandRun declareSync(CLI::App& sub) {
  auto o = std::make_shared<TreeOptions>();
  o->sources.resize(1);
  sub.add_option("SOURCE", o->sources.front(),
                 "The folder to copy from: local, or remote written nb:/path")
      ->required();
  sub.add_option("TARGET", o->target,
                 "The folder to bring in step: remote written nb:/path, or local; exactly one "
                 "side is remote")
      ->required();
  sub.add_flag("--checksum", o->checksum,
               "Compare files that look alike by content: by the hashes remembered from earlier "
               "runs, downloading only files whose hash is not known");
  sub.add_flag("--delete", o->deleteExtra, "Remove what the source no longer has");
  sub.add_option("--max-delete", o->maxDelete,
                 "Refuse a run that would delete more than N files or P% of the target's "
                 "(default 50% of a target of more than 10 files)");
  addFilterOptions(sub, o->filter);
  sub.add_flag("--track-renames", o->trackRenames,
               "Sync up: a file or folder renamed or moved locally since the last run is moved "
               "on the service instead of sent again");
  sub.add_option("--backup-dir", o->backupDir,
                 "Sync up: move what would be deleted or overwritten into a dated folder of "
                 "this remote folder instead");
  sub.add_flag("-n,--dry-run", o->dryRun, "Only print the plan");
  addOneFileSystem(sub, *o);
  sub.add_option("--transfers", o->transfers, "Files in flight at once")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  sub.add_option("--retries", o->retries,
                 "Attempts after a network failure, time-out or server error, with back-off")
      ->check(CLI::Range(0, 20))
      ->capture_default_str();
  return [o](CommandContext& context) { return TreeTransfer::sync(context, *o); };
}

CommandRun declareThumbnail(CLI::App& sub) {
  auto o = std::make_shared<ImageOptions>();
  sub.add_option("PATH", o->path, "Remote path of the image")->required();
  sub.add_option("OUT", o->out, "Local file to write")->required();
  sub.add_option("--width", o->width, "Largest width in pixels")
      ->required()
      ->check(CLI::Range(1, 10000));
  sub.add_option("--height", o->height, "Largest height in pixels")
      ->required()
      ->check(CLI::Range(1, 10000));
  sub.add_flag("-f,--force", o->force, "Replace a local file even if it is read-only");
  return [o](CommandContext& context) { return runThumbnail(context, *o); };
}

CommandRun declareConvert(CLI::App& sub) {
  auto o = std::make_shared<ConvertOptions>();
  sub.add_option("PATH", o->path, "Remote path of the document")->required();
  sub.add_option("OUT", o->out, "Local file to write (HTML, or zip with --zip)")->required();
  sub.add_option("--type", o->type, "Document type")
      ->required()
      ->check(CLI::IsMember(kDocumentTypes));
  sub.add_option("--view", o->view, "Device to render for")
      ->check(CLI::IsMember({"iphone", "iPad"}))
      ->capture_default_str();
  sub.add_flag("--zip", o->zip, "A zip archive instead of one HTML page");
  sub.add_flag("-f,--force", o->force, "Replace a local file even if it is read-only");
  return [o](CommandContext& context) { return runConvert(context, *o); };
}

}  // namespace nb::cli
