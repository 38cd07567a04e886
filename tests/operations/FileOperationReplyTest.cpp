// The results file operations build from reply bodies, and the replies they
// refuse to turn into half-empty records.
#include <gtest/gtest.h>

#include "nb/operations/NBCopyOperation.h"
#include "nb/operations/NBCopyRefOperation.h"
#include "nb/operations/NBCreateFolderOperation.h"
#include "nb/operations/NBDeleteOperation.h"
#include "nb/operations/NBGetDirectoryOperation.h"
#include "nb/operations/NBGetFileHistoryOperation.h"
#include "nb/operations/NBGetShareLinkOperation.h"
#include "nb/operations/NBGetUserInfoOperation.h"
#include "nb/operations/NBMoveOperation.h"

namespace nb {
namespace {

template <class Operation>
Result<NBResult> reply(const std::optional<std::string>& body) {
  return std::make_shared<Operation>(nullptr, nullptr)->resultFromReply(body);
}

template <class Record, class Operation>
std::shared_ptr<Record> recordOf(const std::string& body) {
  auto outcome = reply<Operation>(body);
  if (!outcome.ok()) {
    ADD_FAILURE() << body << ": " << outcome.status().message();
    return nullptr;
  }
  auto record = outcome.value().template recordAs<Record>();
  EXPECT_NE(record, nullptr) << body;
  return record;
}

TEST(FileOperationReplyTest, UserInfoCarriesQuotasBeyond32BitsAndDefaultsMissingKeys) {
  auto info = recordOf<NBUserInfo, NBGetUserInfoOperation>(
      R"({"user_id":7,"user_name":"a","max_file_size":1048576,"quota_total":5368709120,)"
      R"("quota_used":0})");
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->userID, 7);
  EXPECT_EQ(info->userName, "a");
  EXPECT_EQ(info->maxFileSize, 1048576);
  EXPECT_EQ(info->quotaTotal, std::int64_t{5} << 30);
  EXPECT_EQ(info->quotaUsed, 0);

  info = recordOf<NBUserInfo, NBGetUserInfoOperation>(
      R"({"user_id":1,"quota_total":9223372036854775807,"msg":"ok"})");
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->quotaTotal, INT64_MAX);
  EXPECT_EQ(info->quotaUsed, 0);
  EXPECT_EQ(info->userName, std::nullopt);
}

TEST(FileOperationReplyTest, DirectoryListingReadsTheEntryAndItsChildrenInOrder) {
  auto dir = recordOf<NBDirectoryInfo, NBGetDirectoryOperation>(R"({
    "root":"app","path":"/docs","hash":"h1","file_id":"d1","name":"docs","type":"folder",
    "rev":"3","create_time":"c","modify_time":"m","size":0,"is_deleted":false,
    "files":[
      {"file_id":"f1","name":"big.iso","type":"file","size":6442450944,"rev":"r1"},
      {"file_id":"f2","name":"sub","type":"dir","is_deleted":true},
      {"file_id":"f3","name":"n","size":2147483648}
    ]})");
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(dir->root, "app");
  EXPECT_EQ(dir->path, "/docs");
  EXPECT_EQ(dir->hash, "h1");
  ASSERT_NE(dir->fileInfo, nullptr);
  EXPECT_EQ(dir->fileInfo->fileID, "d1");
  EXPECT_EQ(dir->fileInfo->type, 1);
  EXPECT_EQ(dir->fileInfo->version, "3");
  EXPECT_EQ(dir->fileInfo->createTime, "c");
  EXPECT_EQ(dir->fileInfo->modifyTime, "m");
  ASSERT_TRUE(dir->files.has_value());
  ASSERT_EQ(dir->files->size(), 3u);
  const auto& files = *dir->files;
  EXPECT_EQ(files[0]->name, "big.iso");
  EXPECT_EQ(files[0]->type, 0);
  EXPECT_EQ(files[0]->size, std::uint64_t{6} << 30);
  EXPECT_EQ(files[0]->version, "r1");
  EXPECT_FALSE(files[0]->isDeleted);
  EXPECT_EQ(files[1]->type, 1);
  EXPECT_TRUE(files[1]->isDeleted);
  EXPECT_EQ(files[2]->type, 1);  // no "type" at all reads as a folder
  EXPECT_EQ(files[2]->size, std::uint64_t{1} << 31);
}

TEST(FileOperationReplyTest, EmptyOrMissingChildrenLeaveFilesAbsent) {
  for (const char* body : {R"({"path":"/e","files":[]})", R"({"path":"/e"})"}) {
    auto dir = recordOf<NBDirectoryInfo, NBGetDirectoryOperation>(body);
    ASSERT_NE(dir, nullptr);
    EXPECT_FALSE(dir->files.has_value()) << body;
  }
}

TEST(FileOperationReplyTest, FolderInfoAndHistory) {
  auto folder = recordOf<NBFolderInfo, NBCreateFolderOperation>(
      R"({"root":"app","path":"/new","file_id":"x9"})");
  ASSERT_NE(folder, nullptr);
  EXPECT_EQ(folder->root, "app");
  EXPECT_EQ(folder->path, "/new");
  EXPECT_EQ(folder->fileID, "x9");
  EXPECT_EQ(folder->consumer, nullptr);

  auto history = recordOf<NBFileHistoryList, NBGetFileHistoryOperation>(
      R"({"files":[{"file_id":"a","rev":"3","create_time":"t3"},{"file_id":"a","rev":"2"},)"
      R"({"file_id":"a","rev":"1","create_time":"t1"}]})");
  ASSERT_NE(history, nullptr);
  ASSERT_EQ(history->versions.size(), 3u);
  EXPECT_EQ(history->versions[0]->version, "3");
  EXPECT_EQ(history->versions[0]->createTime, "t3");
  EXPECT_EQ(history->versions[1]->version, "2");
  EXPECT_EQ(history->versions[1]->createTime, std::nullopt);
  EXPECT_EQ(history->versions[2]->fileId, "a");

  for (const char* body : {R"({"files":[]})", R"({})"}) {
    history = recordOf<NBFileHistoryList, NBGetFileHistoryOperation>(body);
    ASSERT_NE(history, nullptr);
    EXPECT_TRUE(history->versions.empty()) << body;
  }
}

TEST(FileOperationReplyTest, TextAndJsonResults) {
  for (auto outcome :
       {reply<NBDeleteOperation>(R"({"msg":"ok"})"), reply<NBMoveOperation>(R"({"msg":"ok"})")}) {
    const std::string* text = outcome.value().textValue();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(*text, R"({"msg":"ok"})");
  }
  auto empty = reply<NBDeleteOperation>(std::nullopt);
  ASSERT_NE(empty.value().textValue(), nullptr);
  EXPECT_EQ(*empty.value().textValue(), "");

  for (auto outcome : {reply<NBCopyOperation>(R"({"file_id":"c1","path":"/b"})"),
                       reply<NBCopyRefOperation>(R"({"file_id":"c1","path":"/b"})"),
                       reply<NBGetShareLinkOperation>(R"({"file_id":"c1","path":"/b"})")}) {
    const JsonValue* value = outcome.value().jsonValue();
    ASSERT_NE(value, nullptr);
    ASSERT_TRUE(value->isObject());
    ASSERT_NE(value->find("path"), nullptr);
    EXPECT_EQ(value->find("path")->stringValue(), "/b");
  }
}

TEST(FileOperationReplyTest, RepliesThatCannotBeUnderstoodFail) {
  const struct {
    const char* label;
    Result<NBResult> outcome;
  } cases[] = {
      {"account info, not JSON", reply<NBGetUserInfoOperation>("<html>busy</html>")},
      {"account info, an array", reply<NBGetUserInfoOperation>("[1,2]")},
      {"account info, empty", reply<NBGetUserInfoOperation>("")},
      {"account info, no body", reply<NBGetUserInfoOperation>(std::nullopt)},
      {"listing, a string", reply<NBGetDirectoryOperation>(R"("x")")},
      {"listing, a child that is not an object",
       reply<NBGetDirectoryOperation>(R"({"files":[{"name":"a"},3]})")},
      {"create folder, not JSON", reply<NBCreateFolderOperation>("{")},
      {"history, a version that is not an object",
       reply<NBGetFileHistoryOperation>(R"({"files":[null]})")},
      {"history, an array", reply<NBGetFileHistoryOperation>("[]")},
      {"copy, not JSON", reply<NBCopyOperation>("ok")},
      {"share, empty", reply<NBGetShareLinkOperation>("")},
  };
  for (const auto& c : cases) {
    ASSERT_FALSE(c.outcome.ok()) << c.label;
    EXPECT_EQ(c.outcome.status().code(), StatusCode::kCorruption) << c.label;
    EXPECT_FALSE(c.outcome.status().message().empty()) << c.label;
  }
}

}  // namespace
}  // namespace nb
