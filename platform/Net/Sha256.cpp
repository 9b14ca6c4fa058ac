#include "platform/Net/Sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace platform::net {

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (!context_ || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(context_), EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_));
    throw std::runtime_error("SHA-256 digest could not be started");
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_)); }

void Sha256::update(std::string_view bytes) {
  EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context_), bytes.data(), bytes.size());
}

std::string Sha256::finalizeHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context_), digest, &length);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 15]);
  }
  return hex;
}

}  // namespace platform::net
