// NSDataBase64Helper: standard Base64 (RFC 4648 alphabet, "=" padding, no line
// breaks) in both directions. Stateless; any thread.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nb {

// Raised by dataFromBase64String for input that ends inside a four-character
// group. name() is "Base64Error"; what() is the reason.
class Base64Error : public std::runtime_error {
 public:
  explicit Base64Error(const std::string& reason) : std::runtime_error(reason) {}
  static const char* name() { return "Base64Error"; }
};

// A violated parameter precondition: a programming error, not a result.
// what() is "Invalid parameter not satisfying: <condition>".
class NBAssertionFailure : public std::logic_error {
 public:
  NBAssertionFailure(const std::string& condition, std::string file, int line)
      : std::logic_error("Invalid parameter not satisfying: " + condition),
        file_(std::move(file)),
        line_(line) {}
  const std::string& file() const { return file_; }
  int line() const { return line_; }

 private:
  std::string file_;
  int line_;
};

class NSDataBase64Helper {
 public:
  static std::string base64StringFromData(const void* data, std::size_t length);
  static std::string base64StringFromData(std::string_view bytes) {
    return base64StringFromData(bytes.data(), bytes.size());
  }

  // Decodes `base64String`, skipping bytes outside the alphabet (white space,
  // line breaks). The first group holding "=" ends decoding; the rest is ignored.
  // Throws NBAssertionFailure when the text is not pure ASCII, and Base64Error
  // ("Premature end of Base64 string") when it ends inside a group.
  static std::vector<std::uint8_t> dataFromBase64String(std::string_view base64String);
};

}  // namespace nb
