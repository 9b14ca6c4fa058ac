#include "Murmel/decoding/TextUtilities.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace murmel {
namespace {

std::vector<std::int64_t> range(std::int64_t from, std::int64_t count) {
  std::vector<std::int64_t> out;
  for (std::int64_t i = 0; i < count; ++i) out.push_back(from + i);
  return out;
}

// Sizes from Python: zlib.compressobj(-1, zlib.DEFLATED, -15) over struct.pack('<%di') of the ids
// or the UTF-8 text; ratio = raw bytes / compressed bytes.
TEST(CompressionRatioTest, TokensMatchRawDeflateOfFourBytesPerId) {
  struct Case {
    const char* name;
    std::vector<std::int64_t> tokens;
    float raw, compressed;
  } cases[] = {
      {"one id repeated", std::vector<std::int64_t>(100, 7), 400, 11},
      {"increasing ids", range(1000, 100), 400, 158},
      {"window tokens", {50258, 50259, 50359, 50364, 440, 2068, 3699, 13, 50257}, 36, 33},
      {"int32 extremes", {-1, 2147483647, -2147483648LL, 0}, 16, 13},
      {"empty", {}, 0, 2},
  };
  for (const auto& c : cases) EXPECT_FLOAT_EQ(compressionRatio(c.tokens), c.raw / c.compressed) << c.name;
  EXPECT_GT(compressionRatio(std::vector<std::int64_t>(100, 7)), 2.4f);
}

TEST(CompressionRatioTest, TextMatchesRawDeflateOfUtf8) {
  struct Case {
    std::string text;
    float raw, compressed;
  } cases[] = {
      {"the cat sat on the mat the cat sat on the mat the cat sat on the mat", 68, 24},
      {"Hello", 5, 7},
      {"Gr\u00f6\u00dfe \u2013 ein Test \u2713", 24, 27},
  };
  for (const auto& c : cases) EXPECT_FLOAT_EQ(TextUtilities::compressionRatio(c.text), c.raw / c.compressed) << c.text;
}

TEST(CompressionRatioTest, EmptyTextIsInfinite) {
  EXPECT_TRUE(std::isinf(compressionRatio(std::string_view(""))));
}

}  // namespace
}  // namespace murmel
