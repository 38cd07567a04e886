#include "server/FileEndpoints.h"

#include <algorithm>
#include <charconv>

#include "nb/platform/AsciiText.h"
#include "server/Secrets.h"

namespace nb::server {
namespace {

constexpr int kDefaultFileLimit = 10000;
constexpr int kMaxPageSize = 1000;

// A decimal parameter within [low, high]; `fallback` when absent.
bool intParam(Call& call, const char* name, int low, int high, int fallback, int* out) {
  const auto text = call.param(name);
  if (!text) {
    *out = fallback;
    return true;
  }
  const auto* end = text->data() + text->size();
  const auto [ptr, ec] = std::from_chars(text->data(), end, *out);
  return ec == std::errc() && ptr == end && *out >= low && *out <= high;
}

// Orders a listing by "name", "size" or "time" ("r" in front: descending);
// without a key, folders come first, then names.
bool sortEntries(std::vector<Entry>& entries, const std::optional<std::string>& sortBy) {
  const auto byName = [](const Entry& a, const Entry& b) {
    const auto la = ascii::lowercase(a.name), lb = ascii::lowercase(b.name);
    return la != lb ? la < lb : a.name < b.name;
  };
  if (!sortBy) {
    std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
      return a.isDir != b.isDir ? a.isDir : byName(a, b);
    });
    return true;
  }
  const bool descending = !sortBy->empty() && (*sortBy)[0] == 'r';
  const std::string key = descending ? sortBy->substr(1) : *sortBy;
  std::function<bool(const Entry&, const Entry&)> less;
  if (key == "name") {
    less = byName;
  } else if (key == "size") {
    less = [&](const Entry& a, const Entry& b) {
      return a.size != b.size ? a.size < b.size : byName(a, b);
    };
  } else if (key == "time") {
    less = [&](const Entry& a, const Entry& b) {
      return a.modified != b.modified ? a.modified < b.modified : byName(a, b);
    };
  } else {
    return false;
  }
  std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
    return descending ? less(b, a) : less(a, b);
  });
  return true;
}

// A short fingerprint of a folder's listing, changing whenever a child does.
std::string listingHash(const std::vector<Entry>& children) {
  std::string text;
  for (const auto& e : children) text += e.name + "\n" + std::to_string(e.rev) + "\n";
  const auto crc = std::hash<std::string>{}(text);
  return Secrets::toHex(reinterpret_cast<const unsigned char*>(&crc), sizeof crc);
}

bool boolParam(const std::optional<std::string>& text, bool fallback, bool* out) {
  if (!text) return *out = fallback, true;
  const std::string v = ascii::lowercase(*text);
  if (v == "true") return *out = true, true;
  if (v == "false") return *out = false, true;
  return false;
}

}  // namespace

void FileEndpoints::registerRoutes(ServiceRouter& router) {
  router.get(HostRole::kApi, "/1/account_info", accountInfo);
  router.get(HostRole::kApi, "/1/metadata/.+", metadata);
  router.get(HostRole::kApi, "/1/fileops/create_folder", createFolder);
  router.get(HostRole::kApi, "/1/fileops/delete", remove);
  router.get(HostRole::kApi, "/1/fileops/move", move);
  router.get(HostRole::kApi, "/1/fileops/copy", copy);
  router.get(HostRole::kApi, "/1/copy_ref/.+", copyRef);
  router.get(HostRole::kApi, "/1/shares/.+", share);
  router.get(HostRole::kApi, "/1/history/.+", history);
}

void FileEndpoints::accountInfo(Call& call) {
  if (!call.authenticate(Call::Access::kAccessToken)) return;
  const auto& user = call.user();
  call.reply(JsonReply()
                 .number("user_id", user.id)
                 .text("user_name", user.name)
                 .number("max_file_size", user.maxFileSize)
                 .number("quota_total", user.quotaTotal)
                 .number("quota_used", call.context.tree.usedBytes(user.id)));
}

void FileEndpoints::metadata(Call& call) {
  if (!call.authenticate(Call::Access::kAccessToken)) return;
  std::string root, path;
  if (!call.locationFromUrl("/1/metadata/", &root, &path)) return;
  bool list = true;
  int fileLimit = 0, page = 0, pageSize = 0;
  const auto filter = call.param("filter_ext");
  const auto sortBy = call.param("sort_by");
  if (!boolParam(call.param("list"), true, &list) ||
      !intParam(call, "file_limit", 1, 1 << 30, kDefaultFileLimit, &fileLimit) ||
      !intParam(call, "page", 0, 1 << 30, 0, &page) ||
      !intParam(call, "page_size", 1, kMaxPageSize, 20, &pageSize)) {
    return call.fail(400, "bad parameters");
  }
  const auto owner = call.owner(root);
  const auto entry = call.context.tree.find(owner, path);
  if (!entry) return call.fail(404, "file not exist");
  JsonReply reply = entryJson(root, *entry);
  if (entry->isDir) {
    auto children = call.context.tree.children(owner, path);
    reply.text("hash", listingHash(children));
    if (list) {
      if (static_cast<long>(children.size()) > fileLimit) return call.fail(406, "tooManyFiles");
      if (filter) {
        const std::string ext = ascii::lowercase(*filter);
        std::erase_if(children, [&](const Entry& e) {
          return e.isDir || StoragePath::extension(e.path) != ext;
        });
      }
      if (!sortEntries(children, sortBy)) return call.fail(400, "bad parameters");
      std::vector<JsonReply> files;
      const long first = static_cast<long>(page) * pageSize;
      for (long i = first; i < static_cast<long>(children.size()) && i < first + pageSize; ++i) {
        files.push_back(entryJson(root, children[i]));
      }
      reply.number("total", static_cast<std::int64_t>(children.size())).array("files", files);
    }
  }
  call.reply(reply);
}

void FileEndpoints::createFolder(Call& call) {
  if (!call.authenticate(Call::Access::kAccessToken)) return;
  std::string root, path;
  if (!call.location(&root, &path)) return;
  const auto created = call.context.tree.createFolder(call.owner(root), path);
  if (!created.ok()) return failTree(call, created.status());
  call.reply(entryJson(root, *created));
}

void FileEndpoints::remove(Call& call) {
  if (!call.authenticate(Call::Access::kAccessToken)) return;
  std::string root, path;
  if (!call.location(&root, &path)) return;
  const auto removed = call.context.tree.remove(call.owner(root), path);
  if (!removed.ok()) return failTree(call, removed.status());
  call.reply(entryJson(root, *removed).boolean("is_deleted", true));
}

void FileEndpoints::move(Call& call) {
  if (!call.authenticate(Call::Access::kAccessToken)) return;
  std::string root, from, to;
  if (!call.location(&root, &from, "from_path") || !call.location(&root, &to, "to_path")) return;
  const auto moved = call.context.tree.move(call.owner(root), from, to);
  if (!moved.ok()) return failTree(call, moved.status());
  call.reply(entryJson(root, *moved));
}

void FileEndpoints::copy(Call& call) {
  if (!call.authenticate(Call::Access::kAccessToken)) return;
  std::string root, from, to;
  if (!call.location(&root, &to, "to_path")) return;
  Owner source = call.owner(root);
  std::optional<BlobId> content;
  if (const auto ref = call.param("from_copy_ref")) {
    auto resolved = call.context.tree.resolveCopyRef(*ref);
    if (!resolved) return call.fail(404, "file not exist");
    source = resolved->owner;
    from = resolved->path;
    content = std::move(resolved->content);
  } else if (!call.location(&root, &from, "from_path")) {
    return;
  }
  const auto copied =
      call.context.tree.copy(source, from, call.owner(root), to, call.user().quotaTotal, content);
  if (!copied.ok()) return failTree(call, copied.status());
  call.reply(entryJson(root, *copied));
}

void FileEndpoints::copyRef(Call& call) {
  if (!call.authenticate(Call::Access::kAccessToken)) return;
  std::string root, path;
  if (!call.locationFromUrl("/1/copy_ref/", &root, &path)) return;
  const auto entry = call.context.tree.find(call.owner(root), path);
  if (!entry) return call.fail(404, "file not exist");
  const std::string ref = call.context.tree.createCopyRef(call.owner(root), *entry);
  call.reply(JsonReply()
                 .text("copy_ref", ref)
                 .text("expires", formatTime(nowSeconds() + 30LL * 24 * 3600)));
}

void FileEndpoints::share(Call& call) {
  if (!call.authenticate(Call::Access::kAccessToken)) return;
  std::string root, path;
  if (!call.locationFromUrl("/1/shares/", &root, &path)) return;
  const auto entry = call.context.tree.find(call.owner(root), path);
  if (!entry) return call.fail(404, "file not exist");
  if (path == "/") return call.fail(403, "forbidden");
  const std::string name = call.param("name").value_or(entry->name);
  const std::string code = call.param("access_code").value_or("");
  if (name.size() > 255 || code.size() > 64) return call.fail(400, "bad parameters");
  const std::string id = call.context.tree.createShare(call.owner(root), *entry, name, code);
  JsonReply reply;
  reply.text("url", "https://" + call.context.hosts.name(HostRole::kWeb) + "/s/" + id)
      .text("share_id", id)
      .text("name", name)
      .text("path", path);
  if (!code.empty()) reply.text("access_code", code);
  call.reply(reply);
}

void FileEndpoints::history(Call& call) {
  if (!call.authenticate(Call::Access::kAccessToken)) return;
  std::string root, path;
  if (!call.locationFromUrl("/1/history/", &root, &path)) return;
  const auto versions = call.context.tree.history(call.owner(root), path);
  if (!versions.ok()) return failTree(call, versions.status());
  std::vector<JsonReply> files;
  for (const auto& v : *versions) {
    files.push_back(JsonReply()
                        .text("file_id", v.fileId)
                        .text("rev", std::to_string(v.rev))
                        .text("create_time", formatTime(v.created))
                        .number("size", v.size));
  }
  call.reply(JsonReply().text("root", root).text("path", path).array("files", files));
}

}  // namespace nb::server
