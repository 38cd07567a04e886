// ZipWriter builds a zip archive in memory from a few named files, stored
// without compression (the documents it packs are small). A plain value;
// one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nb::server {

class ZipWriter {
 public:
  void add(const std::string& name, const std::string& content);
  // The complete archive: local entries, central directory, end record.
  std::string finish() const;

  static std::uint32_t crc32(const std::string& data);

 private:
  struct File {
    std::string name;
    std::uint32_t crc;
    std::uint32_t size;
    std::uint32_t offset;
  };
  std::string body_;
  std::vector<File> files_;
};

}  // namespace nb::server
