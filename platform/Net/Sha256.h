// SHA-256 over libcrypto's EVP interface, fed in pieces. Not copyable; one object per digest,
// used from one thread at a time. Throws std::runtime_error only when libcrypto cannot start.
//   Sha256 d; d.update("abc"); d.finalizeHex() == "ba7816bf...f20015ad"
#pragma once

#include <string>
#include <string_view>

namespace platform::net {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::string_view bytes);
  // The digest as 64 lower-case hexadecimal digits. The object is spent afterwards.
  std::string finalizeHex();

 private:
  void* context_;  // EVP_MD_CTX
};

}  // namespace platform::net
