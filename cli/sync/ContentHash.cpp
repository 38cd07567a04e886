#include "cli/sync/ContentHash.h"

#include <openssl/evp.h>

namespace nb::cli {

// The OpenSSL context, freed with its holder.
struct ContentHash::Digest {
  Digest() : context(EVP_MD_CTX_new()) {}
  ~Digest() { EVP_MD_CTX_free(context); }
  EVP_MD_CTX* context;
};

ContentHash::ContentHash() : digest_(std::make_unique<Digest>()) { restart(); }
ContentHash::~ContentHash() = default;

void ContentHash::restart() {
  next_ = 0;
  broken_ = digest_->context == nullptr ||
            EVP_DigestInit_ex(digest_->context, EVP_sha256(), nullptr) != 1;
}

void ContentHash::add(std::string_view bytes) { addAt(next_, bytes); }

void ContentHash::addAt(std::int64_t offset, std::string_view bytes) {
  if (offset == 0 && next_ != 0) restart();
  if (offset != next_) broken_ = true;
  if (broken_) return;
  if (EVP_DigestUpdate(digest_->context, bytes.data(), bytes.size()) != 1) broken_ = true;
  next_ += static_cast<std::int64_t>(bytes.size());
}

std::string ContentHash::hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (broken_ || EVP_DigestFinal_ex(digest_->context, digest, &length) != 1) return "";
  broken_ = true;  // finished: a second call knows nothing more
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kDigits[digest[i] >> 4];
    text += kDigits[digest[i] & 15];
  }
  return text;
}

}  // namespace nb::cli
