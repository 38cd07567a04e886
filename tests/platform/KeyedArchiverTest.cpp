#include "nb/platform/KeyedArchiver.h"

#include <gtest/gtest.h>

#include <limits>


namespace nb {
namespace {

using Dictionary = PropertyValue::Dictionary;
using Array = PropertyValue::Array;
using Date = PropertyValue::Date;

std::vector<std::uint8_t> archive(const PropertyValue& value) {
  std::string error;
  auto bytes = KeyedArchiver::archivedDataWithRootObject(value, &error);
  EXPECT_TRUE(bytes) << error;
  return bytes.value_or(std::vector<std::uint8_t>{});
}

PropertyValue nested(int depth) {
  PropertyValue value = "leaf";
  for (int i = 0; i < depth; ++i) value = Array{value};
  return value;
}

TEST(KeyedArchiverTest, RoundTripsEveryKindOfValue) {
  const Date now = std::chrono::system_clock::now();
  const Date before1970 = Date(std::chrono::seconds(-86400 * 365)) + std::chrono::nanoseconds(7);
  const PropertyValue record = Dictionary{
      {"SharedUDID", "0123456789abcdef0123456789abcdef01234567"},
      {"created", now},
      {"inner", Dictionary{{"list", Array{1, 2.5, "three", Dictionary{}}}, {"", false}}},
  };
  const PropertyValue cases[] = {
      false,
      true,
      0,
      std::numeric_limits<std::int64_t>::min(),
      std::numeric_limits<std::int64_t>::max(),
      -1.5,
      std::numeric_limits<double>::infinity(),
      "",
      std::string("中文\0x", 8),
      now,
      before1970,
      Array{},
      Dictionary{},
      record,
      nested(KeyedArchiver::kMaxDepth),
  };
  for (const auto& value : cases) {
    const auto bytes = archive(value);
    std::string error;
    const auto back = KeyedArchiver::unarchiveObjectWithData(bytes, &error);
    ASSERT_TRUE(back) << error;
    EXPECT_TRUE(*back == value) << "value of kind " << value.storage().index();
  }
}

TEST(KeyedArchiverTest, RefusesValuesNestedTooDeep) {
  std::string error;
  EXPECT_FALSE(
      KeyedArchiver::archivedDataWithRootObject(nested(KeyedArchiver::kMaxDepth + 1), &error));
  EXPECT_NE(error.find("nested"), std::string::npos) << error;
}

TEST(KeyedArchiverTest, RejectsMalformedData) {
  using Bytes = std::vector<std::uint8_t>;
  const Bytes header = {'N', 'B', 'K', 'A', 1};
  auto withHeader = [&](Bytes tail) {
    Bytes out = header;
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
  };
  Bytes tooDeep = header;
  for (int i = 0; i <= KeyedArchiver::kMaxDepth + 1; ++i) {
    tooDeep.insert(tooDeep.end(), {'a', 0, 0, 0, 1});
  }
  tooDeep.push_back('t');
  const struct {
    const char* name;
    Bytes data;
  } cases[] = {
      {"empty", {}},
      {"foreign header", {'b', 'p', 'l', 'i', 's', 't', '0', '0'}},
      {"unknown version", {'N', 'B', 'K', 'A', 9, 't'}},
      {"header only", header},
      {"unknown tag", withHeader({'?'})},
      {"trailing byte", withHeader({'t', 't'})},
      {"short integer", withHeader({'i', 0, 0, 0})},
      {"string longer than data", withHeader({'s', 0, 0, 0, 5, 'a', 'b'})},
      {"array count beyond data", withHeader({'a', 0xFF, 0xFF, 0xFF, 0xFF, 't'})},
      {"dictionary count beyond data", withHeader({'D', 0xFF, 0xFF, 0xFF, 0xFF})},
      {"duplicate key", withHeader({'D', 0, 0, 0, 2, 0, 0, 0, 1, 'k', 't', 0, 0, 0, 1, 'k', 'f'})},
      {"nested too deep", tooDeep},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(KeyedArchiver::unarchiveObjectWithData(c.data, &error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }
}

TEST(KeyedArchiverTest, EveryTruncationOfAnArchiveIsAnError) {
  const auto bytes = archive(Dictionary{
      {"a", Array{1, "two", Dictionary{{"b", std::chrono::system_clock::now()}}}},
      {"c", 3.0},
  });
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    std::string error;
    EXPECT_FALSE(KeyedArchiver::unarchiveObjectWithData(
        std::span<const std::uint8_t>(bytes.data(), size), &error))
        << size;
    EXPECT_FALSE(error.empty()) << size;
  }
}

}  // namespace
}  // namespace nb
