// Secrets: random identifiers, password hashing and constant-time comparison
// for the emulator's credentials. Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

namespace nb::server {

class Secrets {
 public:
  // `bytes` random bytes from the system's generator, as lowercase hex.
  static std::string randomHex(std::size_t bytes);
  // Salted PBKDF2-HMAC-SHA256 of `password` as "salt$hash" (hex).
  static std::string hashPassword(std::string_view password);
  static bool checkPassword(std::string_view password, std::string_view stored);
  // Equality that takes the same time wherever the first difference is.
  static bool equalConstantTime(std::string_view a, std::string_view b);
  static std::string toHex(const unsigned char* data, std::size_t size);
};

}  // namespace nb::server
