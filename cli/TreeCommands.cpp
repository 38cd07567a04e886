#include "cli/TreeCommands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "cli/CommandContext.h"
#include "cli/RemoteTree.h"
#include "cli/ReplyJson.h"
#include "cli/TransferCommands.h"
#include "cli/TreeTransfer.h"
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

// The service returns at most this many entries per page.
constexpr int kMaxPageSize = 1000;
// The entries of one folder the service lists unless asked for more (--limit).
constexpr int kServiceFileLimit = 10000;

using Files = std::vector<std::shared_ptr<NBFileInfo>>;

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
std::string fileLines(const Files& files) {
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
    text +=
        head + time + "  " + Printer::visible(file->name.value_or("")) + (folder ? "/" : "") + "\n";
  }
  return text;
}

// A one-path item (root from --root, path as given).
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
Status runReplyCommand(CommandContext& context, std::shared_ptr<Item> item,
                       const std::string& summary) {
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  const auto outcome = context.perform<Op>(std::move(item));
  if (!outcome.ok()) return outcome.status();
  const JsonValue reply = ReplyJson::from(*outcome);
  context.printer().result(reply, summary.empty() ? ReplyJson::plain(reply) : summary);
  return Status::OK();
}

// Runs an Op whose reply holds one value that --quiet prints alone.
template <class Op, class Item>
Status runValueCommand(CommandContext& context, std::shared_ptr<Item> item, const char* field,
                       bool quiet) {
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  const auto outcome = context.perform<Op>(std::move(item));
  if (!outcome.ok()) return outcome.status();
  const JsonValue reply = ReplyJson::from(*outcome);
  const JsonValue* value = reply.isObject() ? reply.find(field) : nullptr;
  if (quiet && !context.printer().json()) {
    if (!value || !value->isString()) {
      return Status::corruption(std::string("the service's reply holds no ") + field);
    }
    context.printer().result(reply, std::string(value->stringValue()));
  } else {
    context.printer().result(reply, ReplyJson::plain(reply));
  }
  return Status::OK();
}

struct ListOptions {
  std::optional<std::string> path;
  std::optional<int> page;
  std::optional<int> pageSize;
  std::optional<int> limit;
  std::optional<std::string> filter;
  std::optional<std::string> sort;  // "name", "size" or "time"
  bool desc = false;
  bool recursive = false;
  FilterFlags entries;  // -R: which entries are shown
};

// ls -R: every entry under the folder, one path per line.
Status runListTree(CommandContext& context, const ListOptions& o) {
  const auto filter = o.entries.make(static_cast<long long>(std::time(nullptr)));
  if (!filter.ok()) return filter.status();
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  std::string base = CommandContext::remotePath(o.path.value_or("/"));
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  auto tree = RemoteTree::walk(context, base, {8, o.limit.value_or(RemoteTree::kFolderLimit)});
  if (!tree.ok()) return tree.status();
  if (!tree->errors.empty()) {
    const ListingError& error = tree->errors.front();
    return Status(error.status.code(), error.path + ": " + error.status.message());
  }
  filter->apply(*tree, nullptr);
  const std::vector<TreeEntry>& entries = tree->entries;
  JsonValue files = JsonValue::array();
  std::string plain;
  for (const TreeEntry& entry : entries) {
    JsonValue value = JsonValue::object();
    value.set("path", JsonValue(entry.relative));
    value.set("type", JsonValue(entry.folder ? "folder" : "file"));
    value.set("size", JsonValue(static_cast<std::int64_t>(entry.size)));
    value.set("modify_time", JsonValue(entry.modifyTime));
    files.push(std::move(value));
    char head[64];
    std::snprintf(
        head, sizeof head, "%s %10s  ", entry.folder ? "d" : "-",
        entry.folder ? "-" : ProgressBar::formatBytes(static_cast<double>(entry.size)).c_str());
    plain += head + Printer::visible(entry.relative) + (entry.folder ? "/" : "") + "\n";
  }
  JsonValue value = JsonValue::object();
  value.set("path", JsonValue(base));
  value.set("total", JsonValue(static_cast<std::int64_t>(entries.size())));
  value.set("files", std::move(files));
  context.printer().result(value, plain.empty() ? "(empty)" : plain);
  return Status::OK();
}

int sortCode(const std::optional<std::string>& sort) {
  if (!sort) return 0;
  if (*sort == "name") return 2;
  if (*sort == "size") return 3;
  return 1;  // time
}

// The listing of one page of `o.path`.
Result<std::shared_ptr<NBDirectoryInfo>> listPage(CommandContext& context, const ListOptions& o,
                                                  int page, int pageSize) {
  auto item = std::make_shared<NBGetDirectoryOperationItem>();
  item->root = context.options().root;
  // The root folder itself is named by leaving the path out.
  const std::string path = CommandContext::remotePath(o.path.value_or("/"));
  if (path != "/") item->path = path;
  item->pageIndex = page;
  item->pageSize = pageSize;
  if (o.limit) item->fileLimit = *o.limit;
  item->filterExt = o.filter;
  item->sortType = sortCode(o.sort);
  item->isDescSort = o.desc;
  const auto outcome = context.perform<NBGetDirectoryOperation>(item);
  if (!outcome.ok()) return outcome.status();
  auto listing = outcome->recordAs<NBDirectoryInfo>();
  if (!listing) return Status::corruption("the service sent no listing");
  return listing;
}

Status runList(CommandContext& context, const ListOptions& o) {
  if (o.recursive) return runListTree(context, o);
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  if (o.desc && !o.sort) return Status::invalidArgument("--desc needs --sort");
  // Without --page or --page-size every page is fetched; with them, one page.
  const bool onePage = o.page || o.pageSize;
  const int pageSize = onePage ? o.pageSize.value_or(20) : kMaxPageSize;
  int page = o.page.value_or(0);

  auto first = listPage(context, o, page, pageSize);
  if (!first.ok()) return first.status();
  const auto listing = *first;
  Files files = listing->files.value_or(Files{});
  bool hasMore = false;
  const bool isFolder = listing->fileInfo && listing->fileInfo->type != 0;
  if (isFolder && !onePage) {
    // No more entries than the limit asked for (the service's own by
    // default): pages that never end are a failure, not a growing list.
    const std::size_t limit = static_cast<std::size_t>(o.limit.value_or(kServiceFileLimit));
    std::size_t got = files.size();
    while (got == static_cast<std::size_t>(pageSize) && files.size() <= limit) {
      auto next = listPage(context, o, ++page, pageSize);
      if (!next.ok()) return next.status();
      const Files more = (*next)->files.value_or(Files{});
      got = more.size();
      files.insert(files.end(), more.begin(), more.end());
    }
    if (got > static_cast<std::size_t>(pageSize) || files.size() > limit) {
      return Status::corruption(
          "the service listed more entries in " + CommandContext::remotePath(o.path.value_or("/")) +
          " than asked for (at most " + std::to_string(limit) + "): a listing that never ends?");
    }
  } else if (isFolder && files.size() == static_cast<std::size_t>(pageSize)) {
    // Whether an entry follows this page: the one entry at the next page's start.
    auto probe = listPage(context, o, (page + 1) * pageSize, 1);
    if (!probe.ok()) return probe.status();
    hasMore = (*probe)->files && !(*probe)->files->empty();
  }

  JsonValue value = JsonValue::object();
  value.set("root", optionalText(listing->root));
  value.set("path", optionalText(listing->path));
  value.set("hash", optionalText(listing->hash));
  if (listing->fileInfo) value.set("entry", fileJson(*listing->fileInfo));
  JsonValue array = JsonValue::array();
  for (const auto& file : files) array.push(fileJson(*file));
  value.set("files", std::move(array));
  value.set("count", JsonValue(static_cast<std::int64_t>(files.size())));
  value.set("has_more", JsonValue(hasMore));
  if (onePage) {
    value.set("page", JsonValue(static_cast<std::int64_t>(page)));
    value.set("page_size", JsonValue(static_cast<std::int64_t>(pageSize)));
  } else {
    value.set("total", JsonValue(static_cast<std::int64_t>(files.size())));
  }

  std::string plain;
  if (!files.empty()) {
    plain = fileLines(files);
  } else if (listing->fileInfo && listing->fileInfo->type == 0) {
    plain = fileLines({listing->fileInfo});  // a file: show the entry itself
  } else {
    plain = "(empty)";
  }
  context.printer().result(value, plain);
  if (hasMore) {
    context.printer().note("More entries follow: --page " + std::to_string(page + 1) +
                           " shows the next page; without --page and --page-size, ls lists all.");
  }
  return Status::OK();
}

struct RemoveOptions {
  std::vector<std::string> paths;
  bool recursive = false;
};

// Deletes one entry; a folder that holds anything needs `recursive`.
Status removeOne(CommandContext& context, const std::string& path, bool recursive) {
  ListOptions probe;
  probe.path = path;
  probe.limit = 1 << 30;  // only the first entry is asked for, whatever the folder holds
  auto listing = listPage(context, probe, 0, 1);
  if (!listing.ok()) return listing.status();
  const auto& entry = (*listing)->fileInfo;
  const bool nonEmptyFolder =
      entry && entry->type != 0 && (*listing)->files && !(*listing)->files->empty();
  if (nonEmptyFolder && !recursive) {
    return Status::invalidArgument(path +
                                   " is a folder that is not empty; give -r to delete it "
                                   "with everything in it");
  }
  auto item = pathItem<NBFolderOperationItem>(context, path);
  const auto outcome = context.perform<NBDeleteOperation>(item);
  return outcome.ok() ? Status::OK() : outcome.status();
}

Status runRemove(CommandContext& context, const RemoveOptions& o) {
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  JsonValue results = JsonValue::array();
  std::string plain;
  Status firstFailure;
  int failures = 0;
  for (const std::string& given : o.paths) {
    const std::string path = CommandContext::remotePath(given);
    const Status status = removeOne(context, path, o.recursive);
    JsonValue entry = JsonValue::object();
    entry.set("path", JsonValue(path));
    entry.set("deleted", JsonValue(status.ok()));
    if (status.ok()) {
      plain += "Deleted " + path + "\n";
    } else {
      entry.set("error", JsonValue(status.message()));
      entry.set("code", JsonValue(FailureText::machineCode(status)));
      if (firstFailure.ok()) firstFailure = status;
      ++failures;
      // One path's failure is told at once; the others still run.
      if (o.paths.size() > 1 && !context.printer().json()) context.printer().error(status);
    }
    results.push(std::move(entry));
  }
  if (o.paths.size() == 1) {
    if (!firstFailure.ok()) return firstFailure;
    context.printer().result(*results.begin(), plain);
    return Status::OK();
  }
  JsonValue value = JsonValue::object();
  value.set("ok", JsonValue(failures == 0));
  value.set("results", std::move(results));
  value.set("failed", JsonValue(static_cast<std::int64_t>(failures)));
  context.printer().result(value, plain);
  if (failures == 0) return Status::OK();
  return Status(firstFailure.code(),
                std::to_string(failures) + " of " + std::to_string(o.paths.size()) +
                    " paths were not deleted; first: " + firstFailure.message());
}

struct TwoPathOptions {
  std::string from;
  std::string to;
  std::optional<std::string> ref;  // cp --ref
};

Status runCopy(CommandContext& context, const TwoPathOptions& given) {
  TwoPathOptions o = given;
  if (o.ref) {
    // With --ref the only positional argument is the target.
    if (!o.to.empty()) return Status::invalidArgument("cp: with --ref give only TO");
    if (o.from.empty()) return Status::invalidArgument("cp: give TO");
    std::swap(o.from, o.to);
  } else if (o.from.empty() || o.to.empty()) {
    return Status::invalidArgument("cp: give FROM and TO, or --ref REF and TO");
  }
  auto item = std::make_shared<NBCopyOperationItem>();
  item->root = context.options().root;
  if (o.ref) {
    item->fromCopyRef = *o.ref;
  } else {
    item->fromPath = CommandContext::remotePath(o.from);
  }
  item->toPath = CommandContext::remotePath(o.to);
  const std::string source = o.ref ? "reference " + *o.ref : *item->fromPath;
  return runReplyCommand<NBCopyOperation>(context, item,
                                          "Copied " + source + " to " + *item->toPath);
}

struct PathOptions {
  std::string path;
  bool quiet = false;
  bool parents = false;                   // mkdir -p
  std::optional<std::string> name;        // share
  std::optional<std::string> accessCode;  // share
};

Status runHistory(CommandContext& context, const PathOptions& o) {
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  const auto item = pathItem<NBFolderOperationItem>(context, o.path);
  const auto outcome = context.perform<NBGetFileHistoryOperation>(item);
  if (!outcome.ok()) return outcome.status();
  const auto history = outcome->recordAs<NBFileHistoryList>();
  if (!history) return Status::corruption("the service sent no history");
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
  return Status::OK();
}

Status runMakeFolder(CommandContext& context, const PathOptions& o) {
  if (Status status = context.requireSignedIn(); !status.ok()) return status;
  if (o.parents) {
    if (Status status = TreeTransfer::makeFolders(context, o.path); !status.ok()) return status;
    JsonValue value = JsonValue::object();
    value.set("path", JsonValue(CommandContext::remotePath(o.path)));
    context.printer().result(value, "Created " + CommandContext::remotePath(o.path));
    return Status::OK();
  }
  const auto item = pathItem<NBFolderOperationItem>(context, o.path);
  const auto outcome = context.perform<NBCreateFolderOperation>(item);
  if (!outcome.ok()) return outcome.status();
  const auto folder = outcome->recordAs<NBFolderInfo>();
  if (!folder) return Status::corruption("the service sent no folder record");
  JsonValue value = JsonValue::object();
  value.set("root", optionalText(folder->root));
  value.set("path", optionalText(folder->path));
  value.set("file_id", optionalText(folder->fileID));
  context.printer().result(value, "Created " + folder->path.value_or(*item->path));
  return Status::OK();
}

}  // namespace

CommandRun declareList(CLI::App& sub) {
  auto o = std::make_shared<ListOptions>();
  sub.add_option("PATH", o->path, "Remote path (default: the root)");
  sub.add_option("--page", o->page, "Show only this page (from 0)")->check(CLI::NonNegativeNumber);
  sub.add_option("--page-size", o->pageSize,
                 "Show only one page of this many entries (1-1000; default 20 with --page)")
      ->check(CLI::Range(1, kMaxPageSize));
  sub.add_option("--limit", o->limit,
                 "Refuse a folder with more entries than this (service default 10000)")
      ->check(CLI::Range(1, 1 << 30));
  sub.add_option("--filter", o->filter, "Only files with this extension");
  sub.add_option("--sort", o->sort, "Sort key")->check(CLI::IsMember({"name", "size", "time"}));
  sub.add_flag("--desc", o->desc, "Descending order (with --sort)");
  sub.add_flag("-R,--recursive", o->recursive, "Every entry under the folder, one path a line");
  addFilterOptions(sub, o->entries);
  return [o](CommandContext& context) { return runList(context, *o); };
}

CommandRun declareMakeFolder(CLI::App& sub) {
  auto o = std::make_shared<PathOptions>();
  sub.add_option("PATH", o->path, "Remote path")->required();
  sub.add_flag("-p,--parents", o->parents,
               "Also create missing parents; an existing folder is fine");
  return [o](CommandContext& context) { return runMakeFolder(context, *o); };
}

CommandRun declareRemove(CLI::App& sub) {
  auto o = std::make_shared<RemoveOptions>();
  sub.add_option("PATH", o->paths, "Remote paths")->required();
  sub.add_flag("-r,--recursive", o->recursive, "Also delete folders with everything in them");
  return [o](CommandContext& context) { return runRemove(context, *o); };
}

CommandRun declareMove(CLI::App& sub) {
  auto o = std::make_shared<TwoPathOptions>();
  sub.add_option("FROM", o->from, "Remote source path")->required();
  sub.add_option("TO", o->to, "Remote target path")->required();
  return [o](CommandContext& context) {
    auto item = std::make_shared<NBMoveOperationItem>();
    item->root = context.options().root;
    item->fromPath = CommandContext::remotePath(o->from);
    item->toPath = CommandContext::remotePath(o->to);
    const std::string what = "Moved " + *item->fromPath + " to " + *item->toPath;
    return runReplyCommand<NBMoveOperation>(context, item, what);
  };
}

CommandRun declareCopy(CLI::App& sub) {
  auto o = std::make_shared<TwoPathOptions>();
  sub.add_option("FROM", o->from, "Remote source path (leave out with --ref)");
  sub.add_option("TO", o->to, "Remote target path");
  sub.add_option("--ref", o->ref, "Copy reference to copy from (see copyref --quiet)");
  return [o](CommandContext& context) { return runCopy(context, *o); };
}

CommandRun declareCopyRef(CLI::App& sub) {
  auto o = std::make_shared<PathOptions>();
  sub.add_option("PATH", o->path, "Remote path")->required();
  sub.add_flag("-q,--quiet", o->quiet, "Print only the reference (for `nb cp --ref`)");
  return [o](CommandContext& context) {
    return runValueCommand<NBCopyRefOperation>(
        context, pathItem<NBFolderOperationItem>(context, o->path), "copy_ref", o->quiet);
  };
}

CommandRun declareShare(CLI::App& sub) {
  auto o = std::make_shared<PathOptions>();
  sub.add_option("PATH", o->path, "Remote path")->required();
  sub.add_option("--name", o->name, "Display name of the share");
  sub.add_option("--code", o->accessCode, "Access code a visitor must give");
  sub.add_flag("-q,--quiet", o->quiet, "Print only the link");
  return [o](CommandContext& context) {
    auto item = pathItem<NBGetShareLinkOperationItem>(context, o->path);
    item->name = o->name;
    item->accessCode = o->accessCode;
    return runValueCommand<NBGetShareLinkOperation>(context, item, "url", o->quiet);
  };
}

CommandRun declareHistory(CLI::App& sub) {
  auto o = std::make_shared<PathOptions>();
  sub.add_option("PATH", o->path, "Remote path")->required();
  return [o](CommandContext& context) { return runHistory(context, *o); };
}

}  // namespace nb::cli
