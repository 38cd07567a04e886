#include "nb/Private/ParseError.h"

namespace nb {
namespace {

// One row of a message table: what the service reports, the message the user
// reads, and the library's code for the cause. Each table row is the one place
// that decides both.
struct Row {
  std::string_view key;
  std::string_view message;
  StatusCode code;
};

template <std::size_t N>
Status lookup(const Row (&table)[N], std::string_view key, std::string_view fallback,
              StatusCode fallbackCode) {
  for (const Row& row : table) {
    if (row.key == key) return Status(row.code, std::string(row.message));
  }
  return Status(fallbackCode, std::string(fallback));
}

constexpr std::string_view kUnavailable = "内部错误，服务暂时不可用";

constexpr Row kUploadTable[] = {
    {"401", "请求验证错误(时间戳,nonce,签名，token等验证错误)", StatusCode::kUnauthenticated},
    {"403", "同名文件（夹）已存在", StatusCode::kAlreadyExists},
    {"404", "父目录不存在", StatusCode::kNotFound},
    {"405", "同名文件（夹）已存在或者路径不存在", StatusCode::kAlreadyExists},
    {"406", "同时操作太多文件", StatusCode::kResourceExhausted},
    {"413", "文件过大", StatusCode::kResourceExhausted},
    {"500", "服务器内部错误", StatusCode::kService},
    {"507", "用户空间已满", StatusCode::kResourceExhausted},
};

constexpr Row kDownloadTable[] = {
    {"401", "授权失败：请求验证错误(时间戳,nonce,签名，token等验证错误)",
     StatusCode::kUnauthenticated},
    {"403", "文件不存在或者无权访问", StatusCode::kPermissionDenied},
    {"404", "文件不存在", StatusCode::kNotFound},
};

constexpr Row kNormalTable[] = {
    {"400", "参数错误", StatusCode::kInvalidArgument},
    {"401", "请求验证错误(时间戳,nonce,签名，token等验证错误)", StatusCode::kUnauthenticated},
    {"403", "无权限操作", StatusCode::kPermissionDenied},
    {"404", "无此文件", StatusCode::kNotFound},
    {"405", "同名文件（夹）已存在或者路径不存在", StatusCode::kAlreadyExists},
    {"406", "同时操作太多文件", StatusCode::kResourceExhausted},
    {"413", "文件过大", StatusCode::kResourceExhausted},
    {"500", "服务器内部错误", StatusCode::kService},
    {"507", "空间不够", StatusCode::kResourceExhausted},
};

constexpr Row kKeywordTable[] = {
    {"account server error", "账号服务器查询失败，请过一段时间重试", StatusCode::kService},
    {"forbidden", "无权操作（通常是别人的文件）", StatusCode::kPermissionDenied},
    {"cannot create app folder", "不能创建用户目录，请重新获取access token",
     StatusCode::kUnauthenticated},
    {"login fail", "登录失败，可能用户名密码不对或者无此账号", StatusCode::kUnauthenticated},
    {"file exist", "同名文件已经存在", StatusCode::kAlreadyExists},
    {"file not exist", "文件不存在", StatusCode::kNotFound},
    {"wrong verification code", "注册验证码错误或者失效", StatusCode::kInvalidArgument},
    {"file too large", "文件大小超过能上传的上限", StatusCode::kResourceExhausted},
    {"over space", "用户空间已满", StatusCode::kResourceExhausted},
    {"commit fail", "上传失败，请过一段时间重试", StatusCode::kService},
    {"bad openid", "不能用此openid注册", StatusCode::kInvalidArgument},
    {"tooManyFiles", "本次操作涉及太多文件，请使用Nimbus官方PC客户端操作",
     StatusCode::kResourceExhausted},
    {"bad parameters", "参数不正确", StatusCode::kInvalidArgument},
    {"bad request", "请求url、参数不对", StatusCode::kInvalidArgument},
    {"no such api implemented", "无此API", StatusCode::kService},
    {"bad signature", "签名不正确", StatusCode::kUnauthenticated},
    {"request expired", "请求过期（timestamp或者nonce不正确）", StatusCode::kUnauthenticated},
    {"bad consumer key", "没有这个consumer key（你确定申请了应用？）",
     StatusCode::kUnauthenticated},
    {"not supported auth mode", "你不能使用这种授权模式", StatusCode::kPermissionDenied},
    {"authorization expired", "用户的授权过期，请重新获取access token",
     StatusCode::kUnauthenticated},
    {"api daily limit", "你今天调用的接口次数太多了吧", StatusCode::kResourceExhausted},
    {"no right to call this api", "无权限调用此api", StatusCode::kPermissionDenied},
    {"reused nonce", "nonce被重用了", StatusCode::kUnauthenticated},
    {"bad verifier", "verifier错误", StatusCode::kUnauthenticated},
    {"server error", "服务器错误，应该是我们遇到bug了", StatusCode::kService},
};

}  // namespace

Status ParseError::uploadFileFailure(std::string_view status) {
  return lookup(kUploadTable, status, kUnavailable, StatusCode::kService);
}

Status ParseError::downloadFileFailure(std::string_view status) {
  return lookup(kDownloadTable, status, "文件不存在或者服务器内部错误", StatusCode::kService);
}

Status ParseError::normalFailure(std::string_view status) {
  return lookup(kNormalTable, status, kUnavailable, StatusCode::kService);
}

Status ParseError::serviceFailure(std::string_view keyword) {
  return lookup(kKeywordTable, keyword, keyword, StatusCode::kService);
}

Status ParseError::statusFailure(NBStatusTable table, std::string_view status) {
  if (status == "200") return Status::OK();
  switch (table) {
    case NBStatusTable::kUpload:
      return uploadFileFailure(status);
    case NBStatusTable::kDownload:
      return downloadFileFailure(status);
    case NBStatusTable::kNormal:
      return normalFailure(status);
    case NBStatusTable::kNone:
      break;
  }
  return Status::OK();
}

std::string ParseError::getUploadFileErrorMessage(std::string_view status) {
  return uploadFileFailure(status).message();
}

std::string ParseError::getDownloadFileErrorMessage(std::string_view status) {
  return downloadFileFailure(status).message();
}

std::string ParseError::getNormalErrorMessage(std::string_view status) {
  return normalFailure(status).message();
}

std::string ParseError::transformMessage(std::string_view keyword) {
  return serviceFailure(keyword).message();
}

}  // namespace nb
