#include "server/ZipWriter.h"

#include <array>

namespace nb::server {
namespace {

void put16(std::string& out, std::uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put32(std::string& out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

// Version 2.0, UTF-8 names, stored, DOS time 1980-01-01 00:00.
void commonHeader(std::string& out, std::uint32_t crc, std::uint32_t size,
                  std::size_t nameLength) {
  put16(out, 20);
  put16(out, 0x0800);
  put16(out, 0);
  put16(out, 0);
  put16(out, 0x21);
  put32(out, crc);
  put32(out, size);
  put32(out, size);
  put16(out, static_cast<std::uint32_t>(nameLength));
  put16(out, 0);
}

}  // namespace

std::uint32_t ZipWriter::crc32(const std::string& data) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char ch : data) crc = table[(crc ^ static_cast<unsigned char>(ch)) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

void ZipWriter::add(const std::string& name, const std::string& content) {
  File file{name, crc32(content), static_cast<std::uint32_t>(content.size()),
            static_cast<std::uint32_t>(body_.size())};
  put32(body_, 0x04034b50);
  commonHeader(body_, file.crc, file.size, name.size());
  body_ += name;
  body_ += content;
  files_.push_back(std::move(file));
}

std::string ZipWriter::finish() const {
  std::string out = body_;
  const auto directoryStart = static_cast<std::uint32_t>(out.size());
  for (const auto& f : files_) {
    put32(out, 0x02014b50);
    put16(out, 20);  // made by
    commonHeader(out, f.crc, f.size, f.name.size());
    put16(out, 0);  // comment length
    put16(out, 0);  // disk
    put16(out, 0);  // internal attributes
    put32(out, 0);  // external attributes
    put32(out, f.offset);
    out += f.name;
  }
  const auto directorySize = static_cast<std::uint32_t>(out.size()) - directoryStart;
  put32(out, 0x06054b50);
  put16(out, 0);
  put16(out, 0);
  put16(out, static_cast<std::uint32_t>(files_.size()));
  put16(out, static_cast<std::uint32_t>(files_.size()));
  put32(out, directorySize);
  put32(out, directoryStart);
  put16(out, 0);
  return out;
}

}  // namespace nb::server
