#include <gtest/gtest.h>

#include "cli/ReplyJson.h"
#include "nb/Private/JsonFramework/NBJsonUtility.h"

namespace nb::cli {
namespace {

std::string text(const JsonValue& value) {
  return NBJsonUtility::jsonValueFromObject(value).value_or("<not written>");
}

TEST(ReplyJsonTest, TurnsEveryReplyFormIntoJson) {
  const struct {
    NBResult result;
    const char* json;
  } cases[] = {
      {NBResult::json(*NBJsonUtility::jsonValueFromString(R"({"copy_ref":"r1"})")),
       R"({"copy_ref":"r1"})"},
      {NBResult::text(R"({"msg":"ok","n":[1,2]})"), R"({"msg":"ok","n":[1,2]})"},
      {NBResult::text("plain words"), R"({"reply":"plain words"})"},
      {NBResult::text(""), R"({"reply":""})"},
      {NBResult(), "{}"},
  };
  for (const auto& c : cases) EXPECT_EQ(text(ReplyJson::from(c.result)), c.json);
}

TEST(ReplyJsonTest, PlainTextListsObjectMembersOnePerLine) {
  const struct {
    const char* json;
    const char* plain;
  } cases[] = {
      {R"({"url":"https://w/s/1","access_code":"42","n":7,"ok":true,"x":null})",
       "url: https://w/s/1\naccess_code: 42\nn: 7\nok: true\nx: null\n"},
      {R"({"files":[{"a":1}]})", "files: [{\"a\":1}]\n"},
      {R"(["a",2])", R"(["a",2])"},
      {"{}", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReplyJson::plain(*NBJsonUtility::jsonValueFromString(c.json)), c.plain) << c.json;
  }
}

}  // namespace
}  // namespace nb::cli
