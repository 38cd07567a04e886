#include "nb/Private/ParseError.h"

#include <gtest/gtest.h>

namespace nb {
namespace {

TEST(ParseErrorTest, StatusTables) {
  const struct {
    std::string (*table)(std::string_view);
    std::string status, message;
  } cases[] = {
      {ParseError::getUploadFileErrorMessage, "413", "文件过大"},
      {ParseError::getUploadFileErrorMessage, "403", "同名文件（夹）已存在"},
      {ParseError::getUploadFileErrorMessage, "404", "父目录不存在"},
      {ParseError::getUploadFileErrorMessage, "507", "用户空间已满"},
      {ParseError::getUploadFileErrorMessage, "400", "内部错误，服务暂时不可用"},
      {ParseError::getUploadFileErrorMessage, "302", "内部错误，服务暂时不可用"},
      {ParseError::getDownloadFileErrorMessage, "401",
       "授权失败：请求验证错误(时间戳,nonce,签名，token等验证错误)"},
      {ParseError::getDownloadFileErrorMessage, "403", "文件不存在或者无权访问"},
      {ParseError::getDownloadFileErrorMessage, "404", "文件不存在"},
      {ParseError::getDownloadFileErrorMessage, "500", "文件不存在或者服务器内部错误"},
      {ParseError::getNormalErrorMessage, "400", "参数错误"},
      {ParseError::getNormalErrorMessage, "401", "请求验证错误(时间戳,nonce,签名，token等验证错误)"},
      {ParseError::getNormalErrorMessage, "403", "无权限操作"},
      {ParseError::getNormalErrorMessage, "507", "空间不够"},
      {ParseError::getNormalErrorMessage, "999", "内部错误，服务暂时不可用"},
      {ParseError::getNormalErrorMessage, " 404", "内部错误，服务暂时不可用"},  // no trimming
  };
  for (const auto& c : cases) EXPECT_EQ(c.table(c.status), c.message) << c.status;
}

TEST(ParseErrorTest, Keywords) {
  const struct {
    std::string keyword, message;
  } cases[] = {
      {"reused nonce", "nonce被重用了"},
      {"Reused nonce", "Reused nonce"},  // case-sensitive: unknown passes through
      {"login fail", "登录失败，可能用户名密码不对或者无此账号"},
      {"file not exist", "文件不存在"},
      {"wrong verification code", "注册验证码错误或者失效"},
      {"tooManyFiles", "本次操作涉及太多文件，请使用Nimbus官方PC客户端操作"},
      {"bad consumer key", "没有这个consumer key（你确定申请了应用？）"},
      {"server error", "服务器错误，应该是我们遇到bug了"},
      {"something new", "something new"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseError::transformMessage(c.keyword), c.message);
}

// The code beside each message names the cause for programs that act on it;
// the message stays exactly the table's text.
TEST(ParseErrorTest, FailuresCarryTheCodeOfTheirCause) {
  const struct {
    Status status;
    StatusCode code;
    std::string message;
  } cases[] = {
      {ParseError::serviceFailure("file exist"), StatusCode::kAlreadyExists, "同名文件已经存在"},
      {ParseError::serviceFailure("file not exist"), StatusCode::kNotFound, "文件不存在"},
      {ParseError::serviceFailure("over space"), StatusCode::kResourceExhausted, "用户空间已满"},
      {ParseError::serviceFailure("bad signature"), StatusCode::kUnauthenticated, "签名不正确"},
      {ParseError::serviceFailure("forbidden"), StatusCode::kPermissionDenied,
       "无权操作（通常是别人的文件）"},
      {ParseError::serviceFailure("no such thing"), StatusCode::kService, "no such thing"},
      {ParseError::uploadFileFailure("403"), StatusCode::kAlreadyExists, "同名文件（夹）已存在"},
      {ParseError::downloadFileFailure("403"), StatusCode::kPermissionDenied,
       "文件不存在或者无权访问"},
      {ParseError::normalFailure("404"), StatusCode::kNotFound, "无此文件"},
      {ParseError::normalFailure("999"), StatusCode::kService, "内部错误，服务暂时不可用"},
      {ParseError::statusFailure(NBStatusTable::kNormal, "200"), StatusCode::kOk, ""},
      {ParseError::statusFailure(NBStatusTable::kNone, "500"), StatusCode::kOk, ""},
      {ParseError::statusFailure(NBStatusTable::kUpload, "413"), StatusCode::kResourceExhausted,
       "文件过大"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.status.code(), c.code) << c.message;
    EXPECT_EQ(c.status.message(), c.message);
  }
}

}  // namespace
}  // namespace nb
