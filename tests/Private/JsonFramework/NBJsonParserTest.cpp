#include "nb/Private/JsonFramework/NBJsonParser.h"

#include <gtest/gtest.h>

#include "tests/Private/JsonFramework/JsonTestSupport.h"

#include <sstream>
#include <string>
#include <vector>

namespace nb {
namespace {

// The trace as "code:message" lines, oldest first; checks the underlying chain too.
std::vector<std::string> traceOf(const NBJsonBase& codec) {
  std::vector<std::string> lines;
  const auto& trace = codec.errorTrace();
  for (std::size_t i = 0; i < trace.size(); ++i) {
    EXPECT_EQ(trace[i]->domain, "org.tandrel.JSON.ErrorDomain");
    EXPECT_EQ(trace[i]->underlying, i == 0 ? nullptr : trace[i - 1]);
    lines.push_back(std::to_string(trace[i]->code) + ":" + trace[i]->description);
  }
  return lines;
}

TEST(NBJsonParserTest, ErrorChains) {
  const struct {
    std::string input;
    std::vector<std::string> trace;
  } cases[] = {
      {"", {"11:Unexpected end of string"}},
      {"   ", {"11:Unexpected end of string"}},
      {"[1,]", {"9:Trailing comma disallowed in array"}},
      {"{\"a\":1,}", {"9:Trailing comma disallowed in object"}},
      {"{\"a\":}", {"3:Unrecognised leading character", "3:Object value expected for key: a"}},
      {"{a:1}", {"3:Object key string expected"}},
      {"{\"a\" 1}", {"3:Expected ':' separating key and value"}},
      {"01", {"2:Leading 0 disallowed in number"}},
      {"-01", {"2:Leading 0 disallowed in number"}},
      {"-", {"2:No digits after initial minus"}},
      {"-x", {"2:No digits after initial minus"}},
      {"1.", {"2:No digits after decimal point"}},
      {"1.e3", {"2:No digits after decimal point"}},
      {"0.", {"2:No digits after decimal point"}},
      {"[1234567.]", {"2:No digits after decimal point", "3:Expected value while parsing array"}},
      {"12345678.x", {"2:No digits after decimal point"}},
      {"00.5", {"2:Leading 0 disallowed in number"}},
      {"-0123456789", {"2:Leading 0 disallowed in number"}},
      {"1e+", {"2:No digits after exponent"}},
      {"1E", {"2:No digits after exponent"}},
      {"+1", {"2:Leading + disallowed in number"}},
      {".5", {"3:Unrecognised leading character"}},
      {"1e200", {"2:Failed creating decimal instance"}},
      {"1e-200", {"2:Failed creating decimal instance"}},
      {"123456789012345678901234567890123456789", {"2:Failed creating decimal instance"}},
      {"[1] x", {"10:Garbage after JSON"}},
      {"truex", {"10:Garbage after JSON"}},
      {"tru", {"3:Expected 'true'"}},
      {"fals", {"3:Expected 'false'"}},
      {"nul", {"3:Expected 'null'"}},
      {"\"a\tb\"", {"5:Unescaped control character '0x9'"}},
      {"\"abc", {"5:Unescaped control character '0x0'"}},
      {"\"\\n", {"11:Unexpected EOF while parsing string"}},
      {"\"\\x\"", {"8:Illegal escape sequence '0x78'"}},
      {"\"\\", {"8:Illegal escape sequence '0x0'"}},
      {"\"\\ud83d\"", {"6:Missing low character in surrogate pair", "6:Broken unicode character"}},
      {"\"\\ud83d\\u12G4\"",
       {"6:Missing hex digit in quad", "6:Missing low character in surrogate pair",
        "6:Broken unicode character"}},
      {"\"\\ud83d\\u0041\"", {"6:Invalid low surrogate char", "6:Broken unicode character"}},
      {"\"\\udc00\"", {"6:Invalid high character in surrogate pair", "6:Broken unicode character"}},
      {"\"\\u12G4\"",
       {"6:Missing hex digit in quad", "6:Missing hex quad", "6:Broken unicode character"}},
      {"[", {"11:End of input while parsing array"}},
      {"[ ", {"11:Unexpected end of string", "3:Expected value while parsing array"}},
      {"[1", {"11:End of input while parsing array"}},
      {"[1,", {"11:End of input while parsing array"}},
      {"{", {"11:End of input while parsing object"}},
      {"{ ", {"3:Object key string expected"}},
      {"{\"a\":1", {"11:End of input while parsing object"}},
      {"{\"a\\q\":1}", {"8:Illegal escape sequence '0x71'", "3:Object key string expected"}},
      // Each container around a failure adds its own error, innermost first.
      {"[[1,]]", {"9:Trailing comma disallowed in array", "3:Expected value while parsing array"}},
      {"{\"k\":[{\"j\":tx}]}",
       {"3:Expected 'true'", "3:Object value expected for key: j",
        "3:Expected value while parsing array", "3:Object value expected for key: k"}},
      {"{\"k\":{\"j\":1,}}",
       {"9:Trailing comma disallowed in object", "3:Object value expected for key: k"}},
      {"{\"k\":{\"j\":1 \"i\"}}",
       {"3:Expected ':' separating key and value", "3:Object value expected for key: k"}},
      {"[truex]",
       {"3:Unrecognised leading character", "3:Expected value while parsing array"}},
      // Short arrays of numbers are read in one go; whatever fails there is read
      // again the usual way, so the errors are the same.
      {"[1,2", {"11:End of input while parsing array"}},
      {"[1,2,x]", {"3:Unrecognised leading character", "3:Expected value while parsing array"}},
      {"[1,-]", {"2:No digits after initial minus", "3:Expected value while parsing array"}},
      {"[1.5,2.]", {"2:No digits after decimal point", "3:Expected value while parsing array"}},
      {"[1,01]", {"2:Leading 0 disallowed in number", "3:Expected value while parsing array"}},
      {"[1,1e200]",
       {"2:Failed creating decimal instance", "3:Expected value while parsing array"}},
      {"[[1,2],[3",
       {"11:End of input while parsing array", "3:Expected value while parsing array"}},
      {"[1,2,3,4,]", {"9:Trailing comma disallowed in array"}},
      // Long runs of whitespace are skipped in blocks: they must still stop at the
      // end of the text and at a byte above 0x7F.
      {std::string(37, ' '), {"11:Unexpected end of string"}},
      {"[1," + std::string(18, '\t') + "\xA0]",
       {"3:Unrecognised leading character", "3:Expected value while parsing array"}},
  };
  NBJsonParser parser;
  for (const auto& c : cases) {
    EXPECT_FALSE(parser.fragmentWithString(c.input)) << c.input;
    EXPECT_EQ(traceOf(parser), c.trace) << c.input;
  }
}

TEST(NBJsonParserTest, Values) {
  auto obj = [](std::initializer_list<std::pair<const char*, JsonValue>> members) {
    JsonValue v = JsonValue::object();
    for (const auto& [k, m] : members) v.set(k, m);
    return v;
  };
  auto arr = [](std::initializer_list<JsonValue> elements) {
    JsonValue v = JsonValue::array();
    for (const auto& e : elements) v.push(e);
    return v;
  };
  const struct {
    std::string input;
    JsonValue value;
  } cases[] = {
      {"[1 2]", arr({1, 2})},
      {"{\"a\":1 \"b\":2}", obj({{"a", 1}, {"b", 2}})},
      {"{\"a\":1,\"a\":2}", obj({{"a", 2}})},
      {"-0.5e3", JsonValue(-500)},
      {"true", JsonValue(true)},
      {"false", JsonValue(false)},
      {"null", JsonValue()},
      {"\v[\f1\r\n,\t2 ]\v", arr({1, 2})},
      {"[1] \n", arr({1})},
      {std::string(20, ' ') + "\v\f\t\r\n[1," + std::string(33, '\n') + "2]" +
           std::string(40, ' '),
       arr({1, 2})},
      {"\"\\ud83d\\ude00\"", JsonValue("\xF0\x9F\x98\x80")},
      {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\u0041\"", JsonValue("\"\\/\b\f\n\r\t\xC3\xA9" "A")},
      {"\"\xC3\xA9t\xC3\xA9 plain\"", JsonValue("\xC3\xA9t\xC3\xA9 plain")},
      {std::string("[1]\0garbage", 11), arr({1})},  // read up to the NUL byte
      {"\"a\\u0000b\"", JsonValue(std::string_view("a\0b", 3))},
      {"[]", JsonValue::array()},
      {"{}", JsonValue::object()},
      {"0e999999999999", JsonValue(0)},
      {"1E+2", JsonValue(100)},
      {"[[],{},[[]]]", arr({JsonValue::array(), JsonValue::object(), arr({JsonValue::array()})})},
      // Short arrays of numbers, read in one go up to four, and the shapes that are
      // not: more elements, spaces, no comma, a longer number, another value.
      {"[[1,-2],[3.5,4,5,6],[7,8,9,10,11]]",
       arr({arr({1, -2}), arr({NBDecimal::fromString("3.5").value(), 4, 5, 6}),
            arr({7, 8, 9, 10, 11})})},
      {"[1, 2]", arr({1, 2})},
      {"[1 ,2]", arr({1, 2})},
      {"[1 2,3]", arr({1, 2, 3})},
      {"[1,12345678901234567890123]",
       arr({1, NBDecimal::fromString("12345678901234567890123").value()})},
      {"[1,\"a\"]", arr({1, "a"})},
      {"{\"p\":[1,2]}", obj({{"p", arr({1, 2})}})},
  };
  NBJsonParser parser;
  for (const auto& c : cases) {
    const auto value = parser.fragmentWithString(c.input);
    ASSERT_TRUE(value) << c.input << " " << (parser.lastError() ? parser.lastError()->description : "");
    EXPECT_EQ(*value, c.value) << c.input;
    EXPECT_TRUE(parser.errorTrace().empty());
  }
}

// Every shape of number the scanner reads in its own way (integer parts of 1 to 7
// digits joined with the fraction's first digits, longer integer parts, fractions
// of every length around the 16-byte block they are read in, exponents, more than
// 19 digits) must have the value the exact reader gives its text, wherever the
// number stands.
TEST(NBJsonParserTest, NumbersHaveTheExactValueOfTheirText) {
  std::string list =
      "0 -0 7 -12 1234567 12345678 123456789 0.5 -0.0001 1.5 12.25 1234567.1 123456.12 "
      "1.2345678 -12.345678 12.3456789 1234567.12345678901 80.40384037345856 "
      "-125.53922656040618 0.1234567890123456789 12345678.5 1234567890123456789 "
      "12345678901234567890 -98765432109876543210.5 1.5e3 -2.25E-2 7e+1 "
      "0.000000000000000000000000000001 9999999.99999999";
  for (std::size_t n = 1; n <= 20; ++n) {
    const std::string nines(n, '9'), counting = std::string("12345678901234567890").substr(0, n);
    for (const char* whole : {"0", "-7", "123"}) {
      list += std::string(" ") + whole + "." + nines + " " + whole + "." + counting + " " + whole +
              ".0" + counting + " " + whole + "." + counting + "e-3";
    }
  }
  std::istringstream numbers(list);
  NBJsonParser parser;
  for (std::string text; numbers >> text;) {
    const auto expected = NBDecimal::fromString(text);
    ASSERT_TRUE(expected) << text;
    for (const std::string& document :
         {text, "[" + text + "]", "[" + text + ", " + text + " ]", "[7," + text + "]",
          "[" + text + "," + text + "," + text + "," + text + "]", "{\"k\":" + text + "}"}) {
      const auto value = parser.fragmentWithString(document);
      ASSERT_TRUE(value) << document;
      const JsonValue& number = value->isArray()    ? (*value)[value->size() - 1]
                                : value->isObject() ? *value->find("k")
                                                    : *value;
      EXPECT_EQ(number.decimalValue(), *expected) << document;
      EXPECT_EQ(number.decimalValue().toString(), expected->toString()) << document;
    }
  }
}

// Objects of every size the duplicate search treats in its own way: a few
// members, a few dozen, and more.
TEST(NBJsonParserTest, DuplicateKeysKeepFirstPositionAndLastValue) {
  for (const int plain : {1, 10, 40, 100}) {
    std::string text = "{";
    for (int i = 0; i < plain; ++i) {
      text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    }
    // Long keys that differ only between their first and last eight bytes.
    for (int i = 0; i < 10; ++i) {
      text += "\"prefix__" + std::to_string(i) + "__suffix\":" + std::to_string(i) + ",";
    }
    text += "\"prefix__7__suffix\":\"late\",";
    text += "\"k0\":\"late\",\"k0\":null}";
    NBJsonParser parser;
    const auto value = parser.objectWithString(text);
    ASSERT_TRUE(value) << plain;
    ASSERT_EQ(value->size(), static_cast<std::size_t>(plain + 10));
    EXPECT_EQ(*value->find("prefix__7__suffix"), JsonValue("late"));
    EXPECT_EQ(*value->find("prefix__8__suffix"), JsonValue(8));
    EXPECT_EQ(value->members()[0].key, "k0");
    EXPECT_TRUE(value->members()[0].value.isNull());
    EXPECT_EQ(value->members()[plain + 7].key, "prefix__7__suffix");
    if (plain > 1) {
      EXPECT_EQ(*value->find("k" + std::to_string(plain - 1)), JsonValue(plain - 1));
    }
  }
  NBJsonParser parser;
  const auto value = parser.objectWithString("{\"b\":1,\"a\":2,\"b\":3,\"b\":4}");
  ASSERT_TRUE(value);
  ASSERT_EQ(value->size(), 2u);
  EXPECT_EQ(value->members()[0].key, "b");
  EXPECT_EQ(value->members()[0].value, JsonValue(4));
}

TEST(NBJsonParserTest, TopLevelKindAndAbsentInput) {
  NBJsonParser parser;
  EXPECT_FALSE(parser.objectWithString("true"));
  EXPECT_EQ(traceOf(parser), std::vector<std::string>{"4:Valid fragment, but not JSON"});
  EXPECT_FALSE(parser.fragmentWithString(std::nullopt));
  EXPECT_EQ(traceOf(parser), std::vector<std::string>{"12:Input was 'nil'"});
  // A new call starts a new trace.
  EXPECT_TRUE(parser.objectWithString("[]"));
  EXPECT_TRUE(parser.errorTrace().empty());
}

TEST(NBJsonParserTest, MaxDepth) {
  auto nested = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
  NBJsonParser parser;
  EXPECT_TRUE(parser.objectWithString(nested(512)));
  EXPECT_FALSE(parser.objectWithString(nested(513)));
  const auto trace = traceOf(parser);
  ASSERT_EQ(trace.size(), 513u);
  EXPECT_EQ(trace.front(), "7:Nested too deep");
  EXPECT_EQ(trace.back(), "3:Expected value while parsing array");
  EXPECT_FALSE(parser.objectWithString(std::string(600, '{')));
  EXPECT_EQ(traceOf(parser).front(), "3:Object key string expected");

  // No limit: depth far beyond what recursion could survive.
  parser.setMaxDepth(0);
  const auto deep = parser.objectWithString(nested(1000000));
  ASSERT_TRUE(deep);
  EXPECT_EQ(deep->size(), 1u);
  parser.setMaxDepth(2);
  EXPECT_TRUE(parser.objectWithString("[[1,2]]"));
  EXPECT_FALSE(parser.objectWithString("[[[1,2]]]"));
  EXPECT_EQ(traceOf(parser).front(), "7:Nested too deep");
  parser.setMaxDepth(3);
  EXPECT_TRUE(parser.objectWithString("{\"a\":[{}]}"));
  EXPECT_FALSE(parser.objectWithString("{\"a\":[{\"b\":[]}]}"));
  EXPECT_EQ(traceOf(parser).front(), "7:Nested too deep");
}

TEST(NBJsonParserTest, ObserversSeeEveryTraceChange) {
  NBJsonParser parser;
  std::vector<std::string> seen;
  const int id = parser.addErrorTraceObserver([&](std::string_view key, NBJsonBase::ChangePhase phase) {
    seen.push_back(std::string(key) + (phase == NBJsonBase::ChangePhase::Prior ? ":prior" : ":after") +
                   ":" + std::to_string(parser.errorTrace().size()));
  });
  parser.fragmentWithString("[1,]");
  EXPECT_EQ(seen, (std::vector<std::string>{"errorTrace:prior:0", "errorTrace:after:0",
                                            "errorTrace:prior:0", "errorTrace:after:1"}));
  parser.removeErrorTraceObserver(id);
  seen.clear();
  parser.fragmentWithString("[1,]");
  EXPECT_TRUE(seen.empty());
}

}  // namespace
}  // namespace nb
