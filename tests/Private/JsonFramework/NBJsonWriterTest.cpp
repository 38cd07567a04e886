#include "nb/Private/JsonFramework/NBJsonWriter.h"

#include <gtest/gtest.h>

#include "nb/Private/JsonFramework/NBJSON.h"
#include "nb/Private/JsonFramework/NBJsonUtility.h"
#include "tests/Private/JsonFramework/JsonTestSupport.h"

namespace nb {
namespace {

JsonValue parse(std::string_view text) {
  NBJsonParser parser;
  parser.setMaxDepth(0);
  auto value = parser.fragmentWithString(text);
  EXPECT_TRUE(value) << text;
  return value ? std::move(*value) : JsonValue();
}

JsonValue nestedLists(int depth) {
  JsonValue value = JsonValue::array();
  for (int i = 1; i < depth; ++i) {
    JsonValue outer = JsonValue::array();
    outer.push(std::move(value));
    value = std::move(outer);
  }
  return value;
}

TEST(NBJsonWriterTest, Layouts) {
  const struct {
    const char* input;
    bool sortKeys, humanReadable;
    const char* output;
  } cases[] = {
      {R"({"b": 1, "a": [true, null]})", true, false, R"({"a":[true,null],"b":1})"},
      {R"({"b": 1, "a": [true, null]})", false, false, R"({"b":1,"a":[true,null]})"},
      {R"({"b": 1, "a": [true, null]})", true, true,
       "{\n  \"a\":[\n    true,\n    null\n  ],\n  \"b\":1\n}"},
      {"[]", false, true, "[]"},
      {"{}", false, true, "{}"},
      {"[[],{}]", false, false, "[[],{}]"},
      {"[[],{}]", false, true, "[\n  [],\n  {}\n]"},
      {R"({"\u00e9":1,"z":2,"Z":3,"a":4})", true, false, "{\"Z\":3,\"a\":4,\"z\":2,\"\xC3\xA9\":1}"},
      {"[-0.5e3, 1.50, 0.000, 1e-3, 12345678901234567890123, -0]", false, false,
       "[-500,1.5,0,0.001,12345678901234567890123,0]"},
      {"\"tab\\t quote\\\" \\u001f / \\u007f \\u00e9 back\\\\ \\b\\f\\n\\r\\u0000\"", false,
       false, "\"tab\\t quote\\\" \\u001f / \x7f \xC3\xA9 back\\\\ \\b\\f\\n\\r\\u0000\""},
      // Lengths around the word-at-a-time paths, with and without escapes.
      {R"(["12345678","1234567890123456","abcdefgh\"ij","123456789012345\n","1234567\u0001"])",
       false, false,
       R"(["12345678","1234567890123456","abcdefgh\"ij","123456789012345\n","1234567\u0001"])"},
      {R"(["abcd","abc\\","a\"cd","abcdef\t","\u007fbc\u00e9"])", false, false,
       "[\"abcd\",\"abc\\\\\",\"a\\\"cd\",\"abcdef\\t\",\"\x7f" "bc\xC3\xA9\"]"},
      // Members whose value is a number, boolean or null are written with their key in
      // one go: keys around the word-at-a-time lengths, keys that need escapes,
      // integers up to and past 64 bits, and empty containers.
      {R"({"a":0,"abc":-1,"abcd":true,"ab\"d":null,"abcdefg":123456789,"abcdefgh":1234567890,)"
       R"("abcdefghijklmnop":-9223372036854775808,"abcdefghijklmnopq":18446744073709551615,)"
       R"("k\u0001ey":18446744073709551616,"e":1e2,"f":-5e-1,"g":99,"s":"x","l":[],"o":{}})",
       false, false,
       R"({"a":0,"abc":-1,"abcd":true,"ab\"d":null,"abcdefg":123456789,"abcdefgh":1234567890,)"
       R"("abcdefghijklmnop":-9223372036854775808,"abcdefghijklmnopq":18446744073709551615,)"
       R"("k\u0001ey":18446744073709551616,"e":100,"f":-0.5,"g":99,"s":"x","l":[],"o":{}})"},
      {R"({"abcd":1,"l":[[],{}],"o":{"p":{}}})", false, true,
       "{\n  \"abcd\":1,\n  \"l\":[\n    [],\n    {}\n  ],\n  \"o\":{\n    \"p\":{}\n  }\n}"},
      {"\"0123456789abcdef0123456789abcdef\\\"0123456789abcdef0123456789\"", false, false,
       "\"0123456789abcdef0123456789abcdef\\\"0123456789abcdef0123456789\""},
      // Text whose last escape is a quote: decoded in place, it ends right before
      // the escaped quote, where text taken as it stood would have its closing one.
      {R"({"ab\"":"cd\"","\"":["\"","0123456789abcdef0123456789abcdef0\""]})", false, false,
       R"({"ab\"":"cd\"","\"":["\"","0123456789abcdef0123456789abcdef0\""]})"},
  };
  NBJsonWriter writer;
  for (const auto& c : cases) {
    writer.setSortKeys(c.sortKeys);
    writer.setHumanReadable(c.humanReadable);
    EXPECT_EQ(writer.stringWithFragment(parse(c.input)), c.output) << c.input;
  }
}

// Keys and strings made by hand (and copied) rather than parsed, at every length
// around the one or two 16-byte blocks the writer checks them in, with the
// character that needs escaping first, last or absent.
TEST(NBJsonWriterTest, BuiltStringsOfEveryShortLength) {
  NBJsonWriter writer;
  for (std::size_t n = 0; n <= 34; ++n) {
    for (const char* special : {"", "\"", "\n", "\\", "\x7f"}) {
      for (bool first : {true, false}) {
        std::string text(n, 'k');
        std::string escaped = text;
        if (n != 0 && *special != 0) {
          const std::size_t at = first ? 0 : n - 1;
          text[at] = *special;
          const std::string e = *special == '"'    ? "\\\""
                                : *special == '\n' ? "\\n"
                                : *special == '\\' ? "\\\\"
                                                   : std::string(special);
          escaped = text.substr(0, at) + e + text.substr(at + 1);
        }
        JsonValue object = JsonValue::object();
        object.set(text, JsonValue(text));
        JsonValue array = JsonValue::array();
        array.push(JsonValue(text));
        array.push(object);
        const JsonValue copy = array;
        const std::string quoted = "\"" + escaped + "\"";
        EXPECT_EQ(writer.stringWithObject(copy), "[" + quoted + ",{" + quoted + ":" + quoted + "}]")
            << n << " " << int(*special);
        EXPECT_EQ(writer.stringWithFragment(JsonValue(text)), quoted);
      }
    }
  }
}

// Integers of every digit count, both ends of each, positive and negative.
TEST(NBJsonWriterTest, IntegersOfEveryDigitCount) {
  std::string expected = "[";
  JsonValue array = JsonValue::array();
  for (std::uint64_t power = 1; power <= 1000000000000000000ull; power *= 10) {
    for (const std::uint64_t v : {power, power * 10 - 1}) {
      const std::int64_t negative = -static_cast<std::int64_t>(v / 2) - 1;
      array.push(JsonValue(v));
      array.push(JsonValue(negative));
      expected += std::to_string(v) + "," + std::to_string(negative) + ",";
    }
  }
  expected.back() = ']';
  EXPECT_EQ(NBJsonWriter().stringWithObject(array), expected);
}

TEST(NBJsonWriterTest, Errors) {
  NBJsonWriter writer;
  EXPECT_EQ(writer.stringWithObject(JsonValue("plain")), std::nullopt);
  ASSERT_EQ(writer.errorTrace().size(), 1u);
  EXPECT_EQ(writer.lastError()->code, 4);
  EXPECT_EQ(writer.lastError()->description, "Not valid type for JSON");
  EXPECT_EQ(writer.stringWithFragment(JsonValue("plain")), "\"plain\"");
  EXPECT_TRUE(writer.errorTrace().empty());

  EXPECT_TRUE(writer.stringWithObject(nestedLists(512)));
  EXPECT_FALSE(writer.stringWithObject(nestedLists(513)));
  EXPECT_EQ(writer.lastError()->description, "Nested too deep");
  EXPECT_EQ(writer.lastError()->code, 7);

  // A failing member value names its key.
  JsonValue inside = JsonValue::object();
  inside.set("deep", nestedLists(2));
  writer.setMaxDepth(2);
  EXPECT_FALSE(writer.stringWithObject(inside));
  ASSERT_EQ(writer.errorTrace().size(), 2u);
  EXPECT_EQ(writer.errorTrace()[0]->description, "Nested too deep");
  EXPECT_EQ(writer.lastError()->code, 1);
  EXPECT_EQ(writer.lastError()->description, "Unsupported value for key deep in object");
  EXPECT_EQ(writer.lastError()->underlying, writer.errorTrace()[0]);
  // An empty container counts as a level too.
  EXPECT_EQ(writer.stringWithObject(parse(R"({"a":[],"b":{}})")), R"({"a":[],"b":{}})");
  EXPECT_FALSE(writer.stringWithObject(parse(R"({"a":{"b":[]}})")));
  EXPECT_EQ(writer.errorTrace().front()->description, "Nested too deep");
  EXPECT_FALSE(writer.stringWithObject(parse("[[{}]]")));
  // Every object around the failure names its member, innermost first; arrays add nothing.
  writer.setMaxDepth(3);
  EXPECT_FALSE(writer.stringWithObject(parse(R"({"a":[{"b":[[]]}],"z":1})")));
  std::vector<std::string> trace;
  for (const auto& e : writer.errorTrace()) trace.push_back(e->description);
  EXPECT_EQ(trace, (std::vector<std::string>{"Nested too deep", "Unsupported value for key b in object",
                                             "Unsupported value for key a in object"}));
}

TEST(NBJsonWriterTest, TreesOfAnyDepthNeedNoDeepCallStack) {
  const int depth = 1000000;
  const std::string text = std::string(depth, '[') + "{\"k\":null}" + std::string(depth, ']');
  const JsonValue deep = parse(text);  // parsed without a depth limit
  const JsonValue copy = deep;
  EXPECT_TRUE(copy == deep);
  NBJsonWriter writer;
  writer.setMaxDepth(0);
  EXPECT_EQ(writer.stringWithObject(copy), text);
}

TEST(NBJsonWriterTest, Indent) {
  NBJsonWriter writer;
  EXPECT_EQ(writer.indent(), "\n");
}

TEST(NBJSONTest, FacadeHandsOutTheLastError) {
  NBJSON json;
  EXPECT_EQ(json.maxDepth(), 512u);
  NBJsonBase::ErrorRef error;
  EXPECT_FALSE(json.objectWithString("{\"a\":}", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, "Object value expected for key: a");
  ASSERT_TRUE(error->underlying);
  EXPECT_EQ(error->underlying->description, "Unrecognised leading character");
  EXPECT_EQ(json.errorTrace().size(), 2u);

  // Success leaves the facade's trace as it was.
  EXPECT_TRUE(json.fragmentWithString("true", &error));
  EXPECT_EQ(json.errorTrace().size(), 2u);
  EXPECT_FALSE(json.objectWithString("true", false, &error));
  EXPECT_EQ(error->description, "Valid fragment, but not JSON");
  EXPECT_FALSE(json.objectWithString(std::nullopt));
  EXPECT_EQ(json.lastError()->code, 12);

  EXPECT_EQ(json.stringWithObject(JsonValue(1), &error), std::nullopt);
  EXPECT_EQ(error->description, "Not valid type for JSON");
  EXPECT_EQ(json.stringWithFragment(JsonValue(1), &error), "1");
  EXPECT_EQ(json.stringWithObject(JsonValue(1), true, nullptr), "1");

  json.setSortKeys(true);
  json.setHumanReadable(true);
  EXPECT_EQ(json.stringWithObject(parse(R"({"b":[],"a":1})")), "{\n  \"a\":1,\n  \"b\":[]\n}");
  json.setMaxDepth(1);
  EXPECT_EQ(json.jsonParser().maxDepth(), 1u);
  EXPECT_EQ(json.jsonWriter().maxDepth(), 1u);
  EXPECT_FALSE(json.objectWithString("[[1]]"));
  EXPECT_EQ(json.errorTrace().front()->description, "Nested too deep");
}

TEST(NBJsonUtilityTest, OneCallConversions) {
  EXPECT_EQ(NBJsonUtility::jsonValueFromString(R"({"msg":"ok","n":[1]})"),
            parse(R"({"n":[1],"msg":"ok"})"));
  EXPECT_EQ(NBJsonUtility::jsonValueFromString("true"), std::nullopt);
  EXPECT_EQ(NBJsonUtility::jsonValueFromString("{\"a\":"), std::nullopt);
  EXPECT_EQ(NBJsonUtility::jsonValueFromString(""), std::nullopt);
  EXPECT_EQ(NBJsonUtility::jsonValueFromObject(parse(R"({"b":1,"a":[true]})")),
            R"({"b":1,"a":[true]})");
  EXPECT_EQ(NBJsonUtility::jsonValueFromObject(JsonValue("x")), std::nullopt);
  EXPECT_EQ(NBJsonUtility::jsonValueFromObject(nestedLists(513)), std::nullopt);
}

}  // namespace
}  // namespace nb
