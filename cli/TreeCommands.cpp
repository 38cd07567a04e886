#include "cli/TreeCommands.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "cli/CommandContext.h"
#include "cli/CredentialStore.h"
#include "cli/ExitCode.h"
#include "cli/ReplyJson.h"
#include "nb/operations/NBCopyOperation.h"
#include "nb/operations/NBCopyRefOperation.h"
#include "nb/operations/NBCreateFolderOperation.h"
#include "nb/operations/NBDeleteOperation.h"
#include "nb/operations/NBGetDirectoryOperation.h"
#include "nb/operations/NBGetFileHistoryOperation.h"
#include "nb/operations/NBGetShareLinkOperation.h"
#include "nb/operations/NBMoveOperation.h"

namespace nb::cli {
namespace {

JsonValue optionalText(const std::optional<std::string>& text) {
  return text ? JsonValue(*text) : JsonValue();
}

JsonValue fileJson(const NBFileInfo& file) {
  JsonValue value = JsonValue::object();
  value.set("name", optionalText(file.name));
  value.set("type", JsonValue(file.type == 0 ? "file" : "folder"));
  value.set("size", JsonValue(static_cast<std::int64_t>(file.size)));
  value.set("rev", optionalText(file.version));
  value.set("file_id", optionalText(file.fileID));
  value.set("create_time", optionalText(file.createTime));
  value.set("modify_time", optionalText(file.modifyTime));
  value.set("is_deleted", JsonValue(file.isDeleted));
  return value;
}

// "d" or "-", size, modification time and name, in columns aligned over `files`.
std::string fileLines(const std::vector<std::shared_ptr<NBFileInfo>>& files) {
  std::size_t timeWidth = 0;
  for (const auto& file : files)
    timeWidth = std::max(timeWidth, file->modifyTime.value_or("").size());
  std::string text;
  for (const auto& file : files) {
    const bool folder = file->type != 0;
    char head[64];
    std::snprintf(head, sizeof head, "%s %10s  ", folder ? "d" : "-",
                  folder ? "-" : ProgressBar::formatBytes(static_cast<double>(file->size)).c_str());
    std::string time = file->modifyTime.value_or("");
    time.resize(timeWidth, ' ');
    text += head + time + "  " + file->name.value_or("") + (folder ? "/" : "") + "\n";
  }
  return text;
}

// A one-path item (root from --root, path from PATH).
template <class Item>
std::shared_ptr<Item> pathItem(const CommandContext& context, const std::string& path) {
  auto item = std::make_shared<Item>();
  item->root = context.options().root;
  item->path = CommandContext::remotePath(path);
  return item;
}

// Runs an Op whose success is the service's reply, and prints it: in JSON mode
// the reply itself; in plain mode `summary`, or the reply's fields without one.
template <class Op, class Item>
int runReplyCommand(CommandContext& context, std::shared_ptr<Item> item,
                    const std::string& summary) {
  if (!CredentialStore::hasAccessToken()) return context.notSignedIn();
  const OperationOutcome outcome = context.runner().perform<Op>(std::move(item));
  if (outcome.kind != OperationOutcome::Kind::kSuccess) return context.failed(outcome);
  const JsonValue reply = ReplyJson::from(outcome.result);
  context.printer().result(reply, summary.empty() ? ReplyJson::plain(reply) : summary);
  return kExitOk;
}

int sortCode(const std::optional<std::string>& sort) {
  if (!sort) return 0;
  if (*sort == "name") return 2;
  if (*sort == "size") return 3;
  return 1;  // time
}

}  // namespace

int runList(CommandContext& context) {
  if (!CredentialStore::hasAccessToken()) return context.notSignedIn();
  const CommandOptions& options = context.options();
  auto item = std::make_shared<NBGetDirectoryOperationItem>();
  item->root = options.root;
  // The root folder itself is named by leaving the path out.
  if (options.path && *options.path != "/" && !options.path->empty()) {
    item->path = CommandContext::remotePath(*options.path);
  }
  item->pageIndex = options.page;
  item->pageSize = options.pageSize;
  if (options.limit) item->fileLimit = *options.limit;
  item->filterExt = options.filter;
  item->sortType = sortCode(options.sort);
  item->isDescSort = options.desc;

  const OperationOutcome outcome = context.runner().perform<NBGetDirectoryOperation>(item);
  if (outcome.kind != OperationOutcome::Kind::kSuccess) return context.failed(outcome);
  const auto listing = outcome.result.recordAs<NBDirectoryInfo>();
  if (!listing) return context.printer().error("the service sent no listing", kExitService);

  JsonValue value = JsonValue::object();
  value.set("root", optionalText(listing->root));
  value.set("path", optionalText(listing->path));
  value.set("hash", optionalText(listing->hash));
  if (listing->fileInfo) value.set("entry", fileJson(*listing->fileInfo));
  JsonValue files = JsonValue::array();
  std::string plain;
  if (listing->files) {
    for (const auto& file : *listing->files) files.push(fileJson(*file));
    plain = fileLines(*listing->files);
  } else if (listing->fileInfo && listing->fileInfo->type == 0) {
    plain = fileLines({listing->fileInfo});  // a file: show the entry itself
  } else {
    plain = "(empty)";
  }
  value.set("files", std::move(files));
  value.set("page", JsonValue(static_cast<std::int64_t>(options.page)));
  context.printer().result(value, plain);
  return kExitOk;
}

int runMakeFolder(CommandContext& context) {
  if (!CredentialStore::hasAccessToken()) return context.notSignedIn();
  const auto item = pathItem<NBFolderOperationItem>(context, *context.options().path);
  const OperationOutcome outcome = context.runner().perform<NBCreateFolderOperation>(item);
  if (outcome.kind != OperationOutcome::Kind::kSuccess) return context.failed(outcome);
  const auto folder = outcome.result.recordAs<NBFolderInfo>();
  if (!folder) return context.printer().error("the service sent no folder record", kExitService);
  JsonValue value = JsonValue::object();
  value.set("root", optionalText(folder->root));
  value.set("path", optionalText(folder->path));
  value.set("file_id", optionalText(folder->fileID));
  context.printer().result(value, "Created " + folder->path.value_or(*item->path));
  return kExitOk;
}

int runRemove(CommandContext& context) {
  const std::string path = CommandContext::remotePath(*context.options().path);
  return runReplyCommand<NBDeleteOperation>(context, pathItem<NBFolderOperationItem>(context, path),
                                            "Deleted " + path);
}

int runMove(CommandContext& context) {
  auto item = std::make_shared<NBMoveOperationItem>();
  item->root = context.options().root;
  item->fromPath = CommandContext::remotePath(context.options().from);
  item->toPath = CommandContext::remotePath(context.options().to);
  const std::string what = "Moved " + *item->fromPath + " to " + *item->toPath;
  return runReplyCommand<NBMoveOperation>(context, item, what);
}

int runCopy(CommandContext& context) {
  const CommandOptions& options = context.options();
  auto item = std::make_shared<NBCopyOperationItem>();
  item->root = options.root;
  if (options.ref) {
    item->fromCopyRef = *options.ref;
  } else {
    item->fromPath = CommandContext::remotePath(options.from);
  }
  item->toPath = CommandContext::remotePath(options.to);
  const std::string source = options.ref ? "reference " + *options.ref : *item->fromPath;
  return runReplyCommand<NBCopyOperation>(context, item,
                                          "Copied " + source + " to " + *item->toPath);
}

int runCopyRef(CommandContext& context) {
  return runReplyCommand<NBCopyRefOperation>(
      context, pathItem<NBFolderOperationItem>(context, *context.options().path), "");
}

int runShare(CommandContext& context) {
  auto item = pathItem<NBGetShareLinkOperationItem>(context, *context.options().path);
  item->name = context.options().name;
  item->accessCode = context.options().accessCode;
  return runReplyCommand<NBGetShareLinkOperation>(context, item, "");
}

int runHistory(CommandContext& context) {
  if (!CredentialStore::hasAccessToken()) return context.notSignedIn();
  const auto item = pathItem<NBFolderOperationItem>(context, *context.options().path);
  const OperationOutcome outcome = context.runner().perform<NBGetFileHistoryOperation>(item);
  if (outcome.kind != OperationOutcome::Kind::kSuccess) return context.failed(outcome);
  const auto history = outcome.result.recordAs<NBFileHistoryList>();
  if (!history) return context.printer().error("the service sent no history", kExitService);
  JsonValue versions = JsonValue::array();
  std::string plain;
  for (const auto& version : history->versions) {
    JsonValue entry = JsonValue::object();
    entry.set("rev", optionalText(version->version));
    entry.set("file_id", optionalText(version->fileId));
    entry.set("create_time", optionalText(version->createTime));
    versions.push(std::move(entry));
    plain += version->version.value_or("?") + "  " + version->createTime.value_or("") + "\n";
  }
  JsonValue value = JsonValue::object();
  value.set("path", JsonValue(*item->path));
  value.set("versions", std::move(versions));
  context.printer().result(value, plain.empty() ? "(no versions)" : plain);
  return kExitOk;
}

}  // namespace nb::cli
