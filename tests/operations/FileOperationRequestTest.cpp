// The request every file operation builds from its parameter record: endpoint,
// parameter names, their order, and what is refused before any request.
#include <gtest/gtest.h>

#include <functional>

#include "nb/Private/NBAPIInfo.h"
#include "nb/Private/NBHosts.h"
#include "nb/operations/NBCopyOperation.h"
#include "nb/operations/NBCopyRefOperation.h"
#include "nb/operations/NBCreateFolderOperation.h"
#include "nb/operations/NBDeleteOperation.h"
#include "nb/operations/NBGetDirectoryOperation.h"
#include "nb/operations/NBGetFileHistoryOperation.h"
#include "nb/operations/NBGetShareLinkOperation.h"
#include "nb/operations/NBGetUserInfoOperation.h"
#include "nb/operations/NBMoveOperation.h"
#include "tests/support/OperationSamples.h"

namespace nb {
namespace {

using Params = std::vector<NBServiceRequest::Parameter>;

const std::string& api() {
  static const std::string base = "http://" + NBHosts::apiHost();
  return base;
}

template <class Operation>
Result<NBServiceRequest> requestOf(std::shared_ptr<NBOperationItem> item) {
  return std::make_shared<Operation>(nullptr, std::move(item))->serviceRequest();
}

std::shared_ptr<NBFolderOperationItem> folder(std::optional<std::string> root,
                                              std::optional<std::string> path) {
  auto item = std::make_shared<NBFolderOperationItem>();
  item->root = std::move(root);
  item->path = std::move(path);
  return item;
}

std::shared_ptr<NBCopyOperationItem> copyItem(std::optional<std::string> root,
                                              std::optional<std::string> fromPath,
                                              std::optional<std::string> toPath,
                                              std::optional<std::string> ref = std::nullopt) {
  auto item = std::make_shared<NBCopyOperationItem>();
  item->root = std::move(root);
  item->path = "/never-sent";
  item->fromPath = std::move(fromPath);
  item->toPath = std::move(toPath);
  item->fromCopyRef = std::move(ref);
  return item;
}

std::shared_ptr<NBGetShareLinkOperationItem> shareItem(std::optional<std::string> root,
                                                       std::optional<std::string> path,
                                                       std::optional<std::string> name,
                                                       std::optional<std::string> code) {
  auto item = std::make_shared<NBGetShareLinkOperationItem>();
  item->root = std::move(root);
  item->path = std::move(path);
  item->name = std::move(name);
  item->accessCode = std::move(code);
  return item;
}

std::shared_ptr<NBGetDirectoryOperationItem> listing(
    std::function<void(NBGetDirectoryOperationItem&)> set) {
  auto item = std::make_shared<NBGetDirectoryOperationItem>();
  item->root = "app";
  item->path = "/docs/a b";
  set(*item);
  return item;
}

struct Built {
  const char* label;
  Result<NBServiceRequest> request;
  std::string url;
  Params params;
};

TEST(FileOperationRequestTest, EndpointsAndParametersInCollectionOrder) {
  const Built cases[] = {
      {"account info",
       requestOf<NBGetUserInfoOperation>(std::make_shared<NBOperationItem>()),
       api() + "/1/account_info",
       {}},
      {"create folder",
       requestOf<NBCreateFolderOperation>(folder("app", "/new dir")),
       api() + "/1/fileops/create_folder",
       {{"root", "app"}, {"path", "/new dir"}}},
      {"delete",
       requestOf<NBDeleteOperation>(folder("app", "/x")),
       api() + "/1/fileops/delete",
       {{"root", "app"}, {"path", "/x"}}},
      {"delete without root sends nothing",
       requestOf<NBDeleteOperation>(folder(std::nullopt, "/x")),
       api() + "/1/fileops/delete",
       {}},
      {"move",
       requestOf<NBMoveOperation>(copyItem("app", "/a", "/b")),
       api() + "/1/fileops/move",
       {{"root", "app"}, {"from_path", "/a"}, {"to_path", "/b"}}},
      {"move without from path sends only root",
       requestOf<NBMoveOperation>(copyItem("app", std::nullopt, "/b")),
       api() + "/1/fileops/move",
       {{"root", "app"}}},
      {"copy from path",
       requestOf<NBCopyOperation>(copyItem("app", "/a", "/b")),
       api() + "/1/fileops/copy",
       {{"root", "app"}, {"from_path", "/a"}, {"to_path", "/b"}}},
      {"copy reference wins over from path",
       requestOf<NBCopyOperation>(copyItem("app", "/a", "/b", "REF1")),
       api() + "/1/fileops/copy",
       {{"root", "app"}, {"from_copy_ref", "REF1"}, {"to_path", "/b"}}},
      {"copy reference without to path",
       requestOf<NBCopyOperation>(copyItem("app", std::nullopt, std::nullopt, "REF1")),
       api() + "/1/fileops/copy",
       {{"root", "app"}, {"from_copy_ref", "REF1"}}},
      {"copy reference URL keeps root and path unencoded",
       requestOf<NBCopyRefOperation>(folder("app", "/docs/a.txt")),
       api() + "/1/copy_ref/app//docs/a.txt",
       {{"root", "app"}, {"path", "/docs/a.txt"}}},
      {"history URL keeps root and path unencoded",
       requestOf<NBGetFileHistoryOperation>(folder("app", "/a.txt")),
       api() + "/1/history/app//a.txt",
       {{"root", "app"}, {"path", "/a.txt"}}},
      {"share without name and code",
       requestOf<NBGetShareLinkOperation>(shareItem("app", "/a b", std::nullopt, std::nullopt)),
       api() + "/1/shares/app/%2Fa%20b",
       {{"root", "app"}, {"path", "/a b"}}},
      {"share with code and name",
       requestOf<NBGetShareLinkOperation>(shareItem("app", "/中.txt", "my share", "x&y 1")),
       api() + "/1/shares/app/%2F%E4%B8%AD.txt",
       {{"access_code", "x&y 1"}, {"name", "my share"}, {"root", "app"}, {"path", "/中.txt"}}},
      {"fresh listing item",
       requestOf<NBGetDirectoryOperation>(listing([](NBGetDirectoryOperationItem&) {})),
       api() + "/1/metadata/app/%2Fdocs%2Fa%20b",
       {{"list", "True"}, {"page", "0"}, {"page_size", "20"}}},
      {"listing without path",
       requestOf<NBGetDirectoryOperation>(
           listing([](NBGetDirectoryOperationItem& i) { i.path.reset(); })),
       api() + "/1/metadata/app",
       {{"list", "True"}, {"page", "0"}, {"page_size", "20"}}},
      {"listing with every option",
       requestOf<NBGetDirectoryOperation>(listing([](NBGetDirectoryOperationItem& i) {
         i.isList = false;
         i.fileLimit = 500;
         i.pageIndex = 3;
         i.pageSize = 50;
         i.filterExt = "PDF";
         i.sortType = 3;
         i.isDescSort = true;
       })),
       api() + "/1/metadata/app/%2Fdocs%2Fa%20b",
       {{"list", "False"},
        {"file_limit", "500"},
        {"page", "3"},
        {"page_size", "50"},
        {"filter_ext", "pdf"},
        {"sort_by", "rsize"}}},
  };
  for (const Built& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(c.request.ok()) << c.request.status().toString();
    EXPECT_EQ(c.request->url, c.url);
    EXPECT_EQ(c.request->parameters, c.params);
    EXPECT_EQ(c.request->httpMethod, "GET");
    EXPECT_EQ(c.request->signing, NBServiceRequest::Signing::kAccessToken);
  }
}

TEST(FileOperationRequestTest, SortWordsAndTheFileLimitDefault) {
  const struct {
    std::int32_t sortType;
    bool desc;
    std::optional<std::string> sortBy;
  } cases[] = {
      {0, false, std::nullopt}, {0, true, std::nullopt}, {1, false, "time"}, {1, true, "rtime"},
      {2, false, "name"},       {2, true, "rname"},      {3, false, "size"}, {3, true, "rsize"},
      {7, false, "time"},       {-1, true, "rtime"},
  };
  for (const auto& c : cases) {
    NBGetDirectoryOperationItem item;
    item.sortType = c.sortType;
    item.isDescSort = c.desc;
    std::optional<std::string> sortBy;
    bool fileLimit = false;
    for (const auto& [name, value] : NBGetDirectoryOperation::getParameters(item)) {
      if (name == "sort_by") sortBy = value;
      if (name == "file_limit") fileLimit = true;
    }
    EXPECT_EQ(sortBy, c.sortBy) << c.sortType << " " << c.desc;
    EXPECT_FALSE(fileLimit);
  }
}

TEST(FileOperationRequestTest, RefusedBeforeAnyRequest) {
  const struct {
    const char* label;
    Result<NBServiceRequest> request;
  } cases[] = {
      {"share without root",
       requestOf<NBGetShareLinkOperation>(shareItem(std::nullopt, "/a", "n", "c"))},
      {"share without path",
       requestOf<NBGetShareLinkOperation>(shareItem("app", std::nullopt, "n", "c"))},
      {"share with a root that cannot stand in a URL",
       requestOf<NBGetShareLinkOperation>(shareItem("a pp", "/a", std::nullopt, std::nullopt))},
      {"copy reference of a path with a space",
       requestOf<NBCopyRefOperation>(folder("app", "/a b.txt"))},
      {"copy reference of a non-ASCII path", requestOf<NBCopyRefOperation>(folder("app", "/中"))},
      {"copy reference of a path with a query mark",
       requestOf<NBCopyRefOperation>(folder("app", "/a?x=1"))},
      {"copy reference without path", requestOf<NBCopyRefOperation>(folder("app", std::nullopt))},
      {"history of a path with a hash",
       requestOf<NBGetFileHistoryOperation>(folder("app", "/a#b"))},
      {"history without root",
       requestOf<NBGetFileHistoryOperation>(folder(std::nullopt, "/a.txt"))},
      {"listing without root", requestOf<NBGetDirectoryOperation>(listing(
                                   [](NBGetDirectoryOperationItem& i) { i.root.reset(); }))},
      {"listing given the wrong record", requestOf<NBGetDirectoryOperation>(folder("app", "/"))},
      {"move given no record", requestOf<NBMoveOperation>(nullptr)},
  };
  for (const auto& c : cases) {
    ASSERT_FALSE(c.request.ok()) << c.label;
    EXPECT_EQ(c.request.status().code(), StatusCode::kInvalidArgument) << c.label;
    EXPECT_FALSE(c.request.status().message().empty()) << c.label;
  }
}

TEST(FileOperationRequestTest, SecureFileCallsGoOverHttpsToTheSameHosts) {
  const auto consumer = std::make_shared<NBConsumer>("key", "secret");
  for (const bool secure : {false, true}) {
    NBAPIInfo::setSecureFileCalls(secure);
    for (const test::OperationSample& sample : test::operationSamples()) {
      SCOPED_TRACE(std::string(sample.name) + (secure ? " secure" : " plain"));
      const auto request = sample.make(nullptr, consumer, "/folder")->serviceRequest();
      ASSERT_TRUE(request.ok()) << request.status().message();
      const std::string& url = request->url;
      // Sign-ins go over HTTPS either way; every other call follows the setting.
      const std::string name = sample.name;
      const bool signIn = name == "xauth" || name == "three-legged OAuth" || name == "register";
      const std::string scheme = secure || signIn ? "https://" : "http://";
      EXPECT_EQ(url.substr(0, scheme.size()), scheme) << url;
    }
  }
  NBAPIInfo::setSecureFileCalls(false);
}

}  // namespace
}  // namespace nb
