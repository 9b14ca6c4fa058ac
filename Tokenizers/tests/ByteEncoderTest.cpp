#include <gtest/gtest.h>

#include <set>

#include "Tokenizers/ByteEncoder.h"
#include "platform/Text/Unicode.h"

namespace tokenizers {
namespace {

TEST(ByteEncoderTest, MapsEveryByteToADistinctPrintableScalar) {
  const auto& encoder = byteEncoder();
  std::set<std::string> seen;
  for (int b = 0; b < 256; ++b) {
    auto scalars = platform::text::scalars(encoder[b]);
    ASSERT_EQ(scalars.size(), 1u) << b;
    EXPECT_GE(scalars[0], U'\u0021') << b;
    EXPECT_LE(scalars[0], U'\u0143') << b;
    seen.insert(encoder[b]);
    EXPECT_EQ(byteDecoder(encoder[b]), b);
  }
  EXPECT_EQ(seen.size(), 256u);
  EXPECT_EQ(byteDecoder().size(), 256u);
}

TEST(ByteEncoderTest, PublishedEntries) {
  const struct {
    int byte;
    const char* character;
  } cases[] = {{0x00, "\u0100"}, {0x0A, "\u010A"}, {0x20, "\u0120"}, {0x21, "!"},     {0x41, "A"},
               {0x7F, "\u0121"}, {0xA0, "\u0142"}, {0xAD, "\u0143"}, {0xAE, "\u00AE"}, {0xFF, "\u00FF"}};
  for (const auto& c : cases) EXPECT_EQ(byteEncoder()[c.byte], c.character) << c.byte;
}

TEST(ByteEncoderTest, DecoderFindsOnlyWholeTableCharacters) {
  EXPECT_EQ(byteDecoder("\u0120\u0120"), std::nullopt);
  EXPECT_EQ(byteDecoder("\u20AC"), std::nullopt);
  EXPECT_EQ(byteDecoder(""), std::nullopt);
}

}  // namespace
}  // namespace tokenizers
