#include "nb/Private/NSStringHelper.h"

#include <openssl/rand.h>

#include <array>
#include <cstdint>
#include <stdexcept>

namespace nb {
namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";

// Bytes that pass through percent-encoding unchanged.
constexpr std::array<bool, 256> makeUnreservedTable() {
  std::array<bool, 256> table{};
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) table[c] = true;
  for (int c = '0'; c <= '9'; ++c) table[c] = true;
  table['-'] = table['.'] = table['_'] = table['~'] = true;
  return table;
}
constexpr std::array<bool, 256> kUnreserved = makeUnreservedTable();

}  // namespace

void NSStringHelper::appendUrlEncoded(std::string& out, std::string_view s) {
  out.reserve(out.size() + s.size() * 3);
  for (unsigned char c : s) {
    if (kUnreserved[c]) {
      out.push_back(static_cast<char>(c));
    } else {
      const char escape[3] = {'%', kUpperHex[c >> 4], kUpperHex[c & 0x0F]};
      out.append(escape, 3);
    }
  }
}

std::string NSStringHelper::urlEncodeCovertString(std::optional<std::string_view> s) {
  std::string out;
  if (s) appendUrlEncoded(out, *s);
  return out;
}

std::string NSStringHelper::genericGUID() {
  std::array<unsigned char, 16> bytes;
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    throw std::runtime_error("the system random generator failed");
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kUpperHex[bytes[i] >> 4]);
    text.push_back(kUpperHex[bytes[i] & 0x0F]);
  }
  return text;
}

std::string NSStringHelper::timestamp() { return timestamp(std::chrono::system_clock::now()); }

std::string NSStringHelper::timestamp(std::chrono::system_clock::time_point now) {
  // Whole seconds, truncated toward zero. Kept 64-bit so that times past 2038
  // stay correct instead of wrapping.
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch());
  return std::to_string(static_cast<std::int64_t>(seconds.count()));
}

}  // namespace nb
