#include "nb/Private/NSDataBase64Helper.h"

#include <array>

namespace nb {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kInvalid = -1;
constexpr int kPadding = -2;

constexpr std::array<int, 256> makeDecodeTable() {
  std::array<int, 256> table{};
  for (int& value : table) value = kInvalid;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  table['='] = kPadding;
  return table;
}
constexpr std::array<int, 256> kDecode = makeDecodeTable();

}  // namespace

std::string NSDataBase64Helper::base64StringFromData(const void* data, std::size_t length) {
  const auto* in = static_cast<const unsigned char*>(data);
  std::string out;
  out.resize((length + 2) / 3 * 4);
  char* o = out.data();
  std::size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const unsigned v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 0x3F];
    *o++ = kAlphabet[(v >> 6) & 0x3F];
    *o++ = kAlphabet[v & 0x3F];
  }
  if (length - i == 1) {
    const unsigned v = in[i] << 16;
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 0x3F];
    *o++ = '=';
    *o++ = '=';
  } else if (length - i == 2) {
    const unsigned v = (in[i] << 16) | (in[i + 1] << 8);
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 0x3F];
    *o++ = kAlphabet[(v >> 6) & 0x3F];
    *o++ = '=';
  }
  return out;
}

std::vector<std::uint8_t> NSDataBase64Helper::dataFromBase64String(std::string_view base64String) {
  for (unsigned char c : base64String) {
    if (c >= 0x80) {
      throw NBAssertionFailure(
          "[base64String canBeConvertedToEncoding: NSASCIIStringEncoding]",
          "Private/NSDataBase64Helper", 82);
    }
  }
  std::vector<std::uint8_t> out;
  out.reserve(base64String.size() / 4 * 3);
  std::size_t pos = 0;
  const std::size_t n = base64String.size();
  while (true) {
    int quantum[4];
    for (int k = 0; k < 4; ++k) {
      int value = kInvalid;
      while (pos < n) {
        const int candidate = kDecode[static_cast<unsigned char>(base64String[pos++])];
        if (candidate != kInvalid) {
          value = candidate;
          break;
        }
      }
      if (value == kInvalid) {
        if (k == 0) return out;
        throw Base64Error("Premature end of Base64 string");
      }
      quantum[k] = value;
    }
    const auto bits = [&](int k) { return quantum[k] == kPadding ? 0 : quantum[k]; };
    if (quantum[0] != kPadding && quantum[1] != kPadding) {
      out.push_back(static_cast<std::uint8_t>((bits(0) << 2) | (bits(1) >> 4)));
      if (quantum[2] != kPadding) {
        out.push_back(static_cast<std::uint8_t>(((bits(1) & 0x0F) << 4) | (bits(2) >> 2)));
      }
      if (quantum[3] != kPadding) {
        out.push_back(static_cast<std::uint8_t>(((bits(2) & 0x03) << 6) | bits(3)));
      }
    }
    // A group holding padding ends the text; whatever follows is ignored.
    for (int value : quantum) {
      if (value == kPadding) return out;
    }
  }
}

}  // namespace nb
