#include "nb/Private/JsonFramework/JsonValue.h"

#include <gtest/gtest.h>

#include <utility>

#include "nb/Private/JsonFramework/NBJsonUtility.h"
#include "tests/Private/JsonFramework/JsonTestSupport.h"

namespace nb {
namespace {

TEST(JsonValueTest, ScalarsAndAccessors) {
  EXPECT_TRUE(JsonValue().isNull());
  EXPECT_TRUE(JsonValue(true).boolValue());
  EXPECT_TRUE(JsonValue(false).isBool());
  EXPECT_EQ(JsonValue(42).decimalValue().toInt32(), 42);
  EXPECT_EQ(JsonValue(std::uint64_t{18446744073709551615u}).decimalValue().toUInt64(),
            18446744073709551615u);
  EXPECT_EQ(JsonValue(std::int64_t{-5}).decimalValue().toString(), "-5");
  EXPECT_EQ(JsonValue("text").stringValue(), "text");
  EXPECT_EQ(JsonValue(std::string("longer text that needs its own storage")).stringValue(),
            "longer text that needs its own storage");
  EXPECT_EQ(JsonValue("").stringValue(), "");
  // Asking a value of another type gives an empty answer, never a crash.
  const JsonValue text("x");
  EXPECT_FALSE(text.boolValue());
  EXPECT_TRUE(text.decimalValue().isZero());
  EXPECT_EQ(text.size(), 0u);
  EXPECT_TRUE(text[3].isNull());
  EXPECT_EQ(text.find("x"), nullptr);
  EXPECT_EQ(JsonValue(1).stringValue(), "");
  EXPECT_NE(JsonValue(1), JsonValue("1"));
  EXPECT_NE(JsonValue(true), JsonValue(1));
}

TEST(JsonValueTest, CopiesKeepEveryKindOfValue) {
  const JsonValue values[] = {JsonValue(),
                              JsonValue(true),
                              JsonValue(*NBDecimal::fromString("-1234567890123.45678905")),
                              JsonValue(*NBDecimal::fromString("1e-128")),
                              JsonValue(""),
                              JsonValue("text"),
                              JsonValue::array(),
                              JsonValue::object(),
                              *NBJsonUtility::jsonValueFromString(R"([{"a":[-0.5,"x"]}])")};
  for (const JsonValue& v : values) {
    JsonValue copy = v;
    EXPECT_EQ(copy, v);
    JsonValue assigned(7);
    assigned = v;
    EXPECT_EQ(assigned, v);
  }
  EXPECT_EQ(JsonValue(values[2]).decimalValue().toString(), "-1234567890123.45678905");
}

TEST(JsonValueTest, BuildReadAndReplace) {
  JsonValue inner = JsonValue::array();
  inner.push(1);
  inner.push("two");
  inner.push(JsonValue());
  JsonValue root = JsonValue::object();
  root.set("list", std::move(inner));
  root.set("name", "first");
  root.set("flag", true);
  root.set("name", "second");  // replaces in place
  EXPECT_TRUE(inner.isNull());  // moved from

  ASSERT_EQ(root.size(), 3u);
  EXPECT_EQ(root.members()[1].key, "name");
  EXPECT_EQ(root.find("name")->stringValue(), "second");
  EXPECT_EQ(root.find("missing"), nullptr);
  const JsonValue& list = *root.find("list");
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[1].stringValue(), "two");
  EXPECT_TRUE(list[5].isNull());
  int count = 0;
  for (const JsonValue& element : list) count += element.isNull() ? 0 : 1;
  EXPECT_EQ(count, 2);
  std::string keys;
  for (const auto& [key, value] : root.members()) keys += std::string(key) + ",";
  EXPECT_EQ(keys, "list,name,flag,");

  // push and set on null start a container; on other types they do nothing.
  JsonValue fresh;
  fresh.push(1);
  EXPECT_TRUE(fresh.isArray());
  JsonValue number(3);
  number.set("a", 1);
  EXPECT_EQ(number, JsonValue(3));
}

TEST(JsonValueTest, CopiesAreDeepAndParsedTreesCanBeExtended) {
  auto parsed = NBJsonUtility::jsonValueFromString(R"({"a":[1,{"b":"c"}],"d":"e"})");
  ASSERT_TRUE(parsed);
  JsonValue copy = *parsed;
  EXPECT_EQ(copy, *parsed);
  parsed->set("d", "changed");
  parsed->set("new", *NBJsonUtility::jsonValueFromString("[true]"));
  EXPECT_EQ(copy.find("d")->stringValue(), "e");
  EXPECT_NE(copy, *parsed);

  // A copy of an element outlives the tree it came from.
  JsonValue element = (*copy.find("a"))[1];
  copy = JsonValue();
  parsed.reset();
  EXPECT_EQ(element.find("b")->stringValue(), "c");

  // Many pushes of owned values into one array.
  JsonValue list = JsonValue::array();
  for (int i = 0; i < 1000; ++i) {
    JsonValue item = JsonValue::object();
    item.set("i", i);
    item.set("s", std::string(i % 50, 'x'));
    list.push(std::move(item));
  }
  ASSERT_EQ(list.size(), 1000u);
  EXPECT_EQ(list[999].find("i")->decimalValue().toInt32(), 999);
  EXPECT_EQ(list[49].find("s")->stringValue().size(), 49u);
  JsonValue moved = std::move(list);
  EXPECT_EQ(moved.size(), 1000u);
  EXPECT_TRUE(list.isNull());  // NOLINT(bugprone-use-after-move): documented state
}

TEST(JsonValueTest, ObjectsCompareAsMaps) {
  const auto a = NBJsonUtility::jsonValueFromString(R"({"x":1,"y":[1,2]})");
  const auto b = NBJsonUtility::jsonValueFromString(R"({"y":[1,2.0],"x":1e0})");
  const auto c = NBJsonUtility::jsonValueFromString(R"({"y":[2,1],"x":1})");
  const auto d = NBJsonUtility::jsonValueFromString(R"({"x":1,"z":[1,2]})");
  EXPECT_EQ(*a, *b);
  EXPECT_NE(*a, *c);
  EXPECT_NE(*a, *d);
}

}  // namespace
}  // namespace nb
