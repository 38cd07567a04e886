#include "server/Secrets.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>
#include <vector>

namespace nb::server {
namespace {

constexpr int kIterations = 20000;
constexpr std::size_t kHashBytes = 32;

std::string derive(std::string_view password, std::string_view salt) {
  unsigned char out[kHashBytes];
  PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                    reinterpret_cast<const unsigned char*>(salt.data()),
                    static_cast<int>(salt.size()), kIterations, EVP_sha256(), kHashBytes, out);
  return Secrets::toHex(out, kHashBytes);
}

}  // namespace

std::string Secrets::toHex(const unsigned char* data, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    hex.push_back(kDigits[data[i] >> 4]);
    hex.push_back(kDigits[data[i] & 0x0F]);
  }
  return hex;
}

std::string Secrets::randomHex(std::size_t bytes) {
  std::vector<unsigned char> buffer(bytes);
  // Without entropy no credential can be made safely; this is not recoverable.
  if (RAND_bytes(buffer.data(), static_cast<int>(bytes)) != 1) {
    throw std::runtime_error("the system's random generator failed");
  }
  return toHex(buffer.data(), bytes);
}

std::string Secrets::hashPassword(std::string_view password) {
  const std::string salt = randomHex(16);
  return salt + "$" + derive(password, salt);
}

bool Secrets::checkPassword(std::string_view password, std::string_view stored) {
  const auto dollar = stored.find('$');
  if (dollar == std::string_view::npos) return false;
  return equalConstantTime(derive(password, stored.substr(0, dollar)), stored.substr(dollar + 1));
}

bool Secrets::equalConstantTime(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace nb::server
