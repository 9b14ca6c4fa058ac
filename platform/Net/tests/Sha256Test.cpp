#include "platform/Net/Sha256.h"

#include <string>

#include <gtest/gtest.h>

namespace platform::net {
namespace {

// Digests from FIPS 180-2 appendix B and the empty message.
TEST(Sha256Test, MatchesPublishedDigests) {
  struct Case {
    std::string message;
    const char* digest;
  };
  for (const Case& c : {Case{"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
                        Case{"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
                        Case{"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                             "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
                        Case{std::string(1'000'000, 'a'),
                             "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}}) {
    Sha256 whole;
    whole.update(c.message);
    EXPECT_EQ(whole.finalizeHex(), c.digest) << c.message.size();
    // Fed in uneven pieces, the digest is the same.
    Sha256 pieces;
    for (std::size_t i = 0; i < c.message.size(); i += 7919) pieces.update(std::string_view(c.message).substr(i, 7919));
    EXPECT_EQ(pieces.finalizeHex(), c.digest) << c.message.size();
  }
}

}  // namespace
}  // namespace platform::net
