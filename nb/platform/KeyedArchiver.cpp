#include "nb/platform/KeyedArchiver.h"

#include <bit>
#include <cstring>
#include <limits>

namespace nb {
namespace {

// Layout: the magic "NBKA", a format version byte, then one value. A value is
// a tag byte and its payload; numbers are 8 bytes big-endian, lengths and
// counts 4 bytes big-endian. Dates are nanoseconds since 1970 (signed).
constexpr std::uint8_t kMagic[] = {'N', 'B', 'K', 'A', 1};
enum Tag : std::uint8_t {
  kFalse = 'f',
  kTrue = 't',
  kInteger = 'i',
  kReal = 'r',
  kString = 's',
  kDate = 'd',
  kArray = 'a',
  kDictionary = 'D',
};

class Writer {
 public:
  bool value(const PropertyValue& v, int depth) {
    if (depth > KeyedArchiver::kMaxDepth)
      return fail("value nested deeper than the archive allows");
    return std::visit([&](const auto& x) { return write(x, depth); }, v.storage());
  }
  std::vector<std::uint8_t> bytes;
  std::string error;

 private:
  bool fail(std::string message) {
    error = std::move(message);
    return false;
  }
  void u64(std::uint64_t x) {
    for (int shift = 56; shift >= 0; shift -= 8)
      bytes.push_back(static_cast<std::uint8_t>(x >> shift));
  }
  bool length(std::size_t n) {
    if (n > std::numeric_limits<std::uint32_t>::max()) return fail("value too large to archive");
    for (int shift = 24; shift >= 0; shift -= 8)
      bytes.push_back(static_cast<std::uint8_t>(n >> shift));
    return true;
  }
  bool text(const std::string& s) {
    if (!length(s.size())) return false;
    bytes.insert(bytes.end(), s.begin(), s.end());
    return true;
  }
  bool write(bool b, int) {
    bytes.push_back(b ? kTrue : kFalse);
    return true;
  }
  bool write(std::int64_t i, int) {
    bytes.push_back(kInteger);
    u64(static_cast<std::uint64_t>(i));
    return true;
  }
  bool write(double d, int) {
    bytes.push_back(kReal);
    u64(std::bit_cast<std::uint64_t>(d));
    return true;
  }
  bool write(const std::string& s, int) {
    bytes.push_back(kString);
    return text(s);
  }
  bool write(const PropertyValue::Date& date, int) {
    bytes.push_back(kDate);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(date.time_since_epoch());
    u64(static_cast<std::uint64_t>(static_cast<std::int64_t>(ns.count())));
    return true;
  }
  bool write(const PropertyValue::Array& array, int depth) {
    bytes.push_back(kArray);
    if (!length(array.size())) return false;
    for (const auto& element : array) {
      if (!value(element, depth + 1)) return false;
    }
    return true;
  }
  bool write(const PropertyValue::Dictionary& dictionary, int depth) {
    bytes.push_back(kDictionary);
    if (!length(dictionary.size())) return false;
    for (const auto& [key, element] : dictionary) {
      if (!text(key) || !value(element, depth + 1)) return false;
    }
    return true;
  }
};

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}

  std::optional<PropertyValue> value(int depth) {
    if (depth > KeyedArchiver::kMaxDepth) return fail("archive nested too deep");
    std::uint8_t tag;
    if (!byte(tag)) return std::nullopt;
    switch (tag) {
      case kFalse:
        return PropertyValue(false);
      case kTrue:
        return PropertyValue(true);
      case kInteger: {
        std::uint64_t x;
        if (!u64(x)) return std::nullopt;
        return PropertyValue(static_cast<std::int64_t>(x));
      }
      case kReal: {
        std::uint64_t x;
        if (!u64(x)) return std::nullopt;
        return PropertyValue(std::bit_cast<double>(x));
      }
      case kString: {
        std::string s;
        if (!text(s)) return std::nullopt;
        return PropertyValue(std::move(s));
      }
      case kDate: {
        std::uint64_t x;
        if (!u64(x)) return std::nullopt;
        const std::chrono::nanoseconds ns(static_cast<std::int64_t>(x));
        return PropertyValue(
            PropertyValue::Date(std::chrono::duration_cast<PropertyValue::Date::duration>(ns)));
      }
      case kArray:
        return array(depth);
      case kDictionary:
        return dictionary(depth);
      default:
        return fail("unknown value tag in archive");
    }
  }
  bool atEnd() const { return pos_ == data_.size(); }
  bool expectMagic() {
    if (data_.size() < sizeof kMagic || std::memcmp(data_.data(), kMagic, sizeof kMagic) != 0) {
      error = "not an archive (bad header)";
      return false;
    }
    pos_ = sizeof kMagic;
    return true;
  }
  std::string error;

 private:
  std::nullopt_t fail(std::string message) {
    if (error.empty()) error = std::move(message);
    return std::nullopt;
  }
  std::size_t remaining() const { return data_.size() - pos_; }
  bool need(std::size_t n) {
    if (remaining() >= n) return true;
    fail("archive truncated");
    return false;
  }
  bool byte(std::uint8_t& out) {
    if (!need(1)) return false;
    out = data_[pos_++];
    return true;
  }
  bool u64(std::uint64_t& out) {
    if (!need(8)) return false;
    out = 0;
    for (int i = 0; i < 8; ++i) out = (out << 8) | data_[pos_++];
    return true;
  }
  bool length(std::uint32_t& out) {
    if (!need(4)) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) out = (out << 8) | data_[pos_++];
    return true;
  }
  bool text(std::string& out) {
    std::uint32_t n;
    if (!length(n) || !need(n)) return false;
    out.assign(reinterpret_cast<const char*>(data_.data() + pos_), n);
    pos_ += n;
    return true;
  }
  std::optional<PropertyValue> array(int depth) {
    std::uint32_t count;
    if (!length(count)) return std::nullopt;
    // Every element takes at least one byte: a larger count is a lie.
    if (count > remaining()) return fail("archive truncated");
    PropertyValue::Array out;
    out.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      auto element = value(depth + 1);
      if (!element) return std::nullopt;
      out.push_back(std::move(*element));
    }
    return PropertyValue(std::move(out));
  }
  std::optional<PropertyValue> dictionary(int depth) {
    std::uint32_t count;
    if (!length(count)) return std::nullopt;
    PropertyValue::Dictionary out;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::string key;
      if (!text(key)) return std::nullopt;
      auto element = value(depth + 1);
      if (!element) return std::nullopt;
      if (!out.emplace(std::move(key), std::move(*element)).second) {
        return fail("duplicate dictionary key in archive");
      }
    }
    return PropertyValue(std::move(out));
  }

  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<std::vector<std::uint8_t>> KeyedArchiver::archivedDataWithRootObject(
    const PropertyValue& root, std::string* error) {
  Writer writer;
  writer.bytes.assign(std::begin(kMagic), std::end(kMagic));
  if (!writer.value(root, 0)) {
    if (error) *error = writer.error;
    return std::nullopt;
  }
  return std::move(writer.bytes);
}

std::optional<PropertyValue> KeyedArchiver::unarchiveObjectWithData(
    std::span<const std::uint8_t> data, std::string* error) {
  Reader reader(data);
  std::optional<PropertyValue> root;
  if (reader.expectMagic()) root = reader.value(0);
  if (root && !reader.atEnd()) {
    root.reset();
    reader.error = "trailing bytes after archive";
  }
  if (error) *error = root ? std::string() : reader.error;
  return root;
}

}  // namespace nb
