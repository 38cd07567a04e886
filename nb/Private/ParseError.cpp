#include "nb/Private/ParseError.h"

#include <utility>

namespace nb {
namespace {

using Row = std::pair<std::string_view, std::string_view>;

template <std::size_t N>
std::string lookup(const Row (&table)[N], std::string_view key, std::string_view fallback) {
  for (const Row& row : table) {
    if (row.first == key) return std::string(row.second);
  }
  return std::string(fallback);
}

constexpr std::string_view kUnavailable = "内部错误，服务暂时不可用";

constexpr Row kUploadTable[] = {
    {"401", "请求验证错误(时间戳,nonce,签名，token等验证错误)"},
    {"403", "同名文件（夹）已存在"},
    {"404", "父目录不存在"},
    {"405", "同名文件（夹）已存在或者路径不存在"},
    {"406", "同时操作太多文件"},
    {"413", "文件过大"},
    {"500", "服务器内部错误"},
    {"507", "用户空间已满"},
};

constexpr Row kDownloadTable[] = {
    {"401", "授权失败：请求验证错误(时间戳,nonce,签名，token等验证错误)"},
    {"403", "文件不存在或者无权访问"},
    {"404", "文件不存在"},
};

constexpr Row kNormalTable[] = {
    {"400", "参数错误"},
    {"401", "请求验证错误(时间戳,nonce,签名，token等验证错误)"},
    {"403", "无权限操作"},
    {"404", "无此文件"},
    {"405", "同名文件（夹）已存在或者路径不存在"},
    {"406", "同时操作太多文件"},
    {"413", "文件过大"},
    {"500", "服务器内部错误"},
    {"507", "空间不够"},
};

constexpr Row kKeywordTable[] = {
    {"account server error", "账号服务器查询失败，请过一段时间重试"},
    {"forbidden", "无权操作（通常是别人的文件）"},
    {"cannot create app folder", "不能创建用户目录，请重新获取access token"},
    {"login fail", "登录失败，可能用户名密码不对或者无此账号"},
    {"file exist", "同名文件已经存在"},
    {"file not exist", "文件不存在"},
    {"wrong verification code", "注册验证码错误或者失效"},
    {"file too large", "文件大小超过能上传的上限"},
    {"over space", "用户空间已满"},
    {"commit fail", "上传失败，请过一段时间重试"},
    {"bad openid", "不能用此openid注册"},
    {"tooManyFiles", "本次操作涉及太多文件，请使用Nimbus官方PC客户端操作"},
    {"bad parameters", "参数不正确"},
    {"bad request", "请求url、参数不对"},
    {"no such api implemented", "无此API"},
    {"bad signature", "签名不正确"},
    {"request expired", "请求过期（timestamp或者nonce不正确）"},
    {"bad consumer key", "没有这个consumer key（你确定申请了应用？）"},
    {"not supported auth mode", "你不能使用这种授权模式"},
    {"authorization expired", "用户的授权过期，请重新获取access token"},
    {"api daily limit", "你今天调用的接口次数太多了吧"},
    {"no right to call this api", "无权限调用此api"},
    {"reused nonce", "nonce被重用了"},
    {"bad verifier", "verifier错误"},
    {"server error", "服务器错误，应该是我们遇到bug了"},
};

}  // namespace

std::string ParseError::getUploadFileErrorMessage(std::string_view status) {
  return lookup(kUploadTable, status, kUnavailable);
}

std::string ParseError::getDownloadFileErrorMessage(std::string_view status) {
  return lookup(kDownloadTable, status, "文件不存在或者服务器内部错误");
}

std::string ParseError::getNormalErrorMessage(std::string_view status) {
  return lookup(kNormalTable, status, kUnavailable);
}

std::string ParseError::transformMessage(std::string_view keyword) {
  return lookup(kKeywordTable, keyword, keyword);
}

}  // namespace nb
