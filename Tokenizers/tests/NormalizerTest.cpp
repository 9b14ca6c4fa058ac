#include <gtest/gtest.h>

#include "Tokenizers/Normalizer.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/tests/TokenizerTestSupport.h"

namespace tokenizers {
namespace {

using testing::json;

TEST(NormalizerTest, NormalizesByKind) {
  const struct {
    const char* config;
    std::string text;
    std::string expected;
  } cases[] = {
      {R"({"type": "Bert"})", "H\u00E9llo\tWORLD", "hello world"},
      {R"({"type": "BertNormalizer", "lowercase": false})", "H\u00E9llo", "H\u00E9llo"},
      {R"({"type": "BertNormalizer", "lowercase": false, "strip_accents": true})", "H\u00E9llo", "Hello"},
      {R"({"type": "BertNormalizer"})", "ab中c", "ab 中 c"},
      {R"({"type": "BertNormalizer"})", "中文", " 中  文 "},
      // Cleaning: tab and line ends become spaces, control (Cc) and format (Cf) characters go.
      {R"({"type": "BertNormalizer", "lowercase": false})", "a\r\nb\uFFFD\u200B", "a  b"},
      {R"({"type": "BertNormalizer", "lowercase": false})", std::string("a") + '\0' + "b", "ab"},
      {R"({"type": "BertNormalizer", "lowercase": false})", "a\u0001b\u00ADc\u0085d\tz", "abcd z"},
      // Private-use characters go; unassigned code points and noncharacters stay.
      {R"({"type": "BertNormalizer", "lowercase": false})", "a\uE000\uF8FF\U000F0000b", "ab"},
      {R"({"type": "BertNormalizer", "lowercase": false})", "a\u0378\uFFFE\U0001FFFE\U0010FFFFb",
       "a\u0378\uFFFE\U0001FFFE\U0010FFFFb"},
      {R"({"type": "BertNormalizer", "lowercase": false, "clean_text": false})", "a\u0001\u200Bb", "a\u0001\u200Bb"},
      // Accent stripping drops every non-spacing mark (Mn) after decomposition, not spacing or
      // enclosing marks.
      {R"({"type": "BertNormalizer", "lowercase": false, "strip_accents": true})", "\u0958 \u05E9\u05C1 \u0645\u064E",
       "\u0915 \u05E9 \u0645"},
      {R"({"type": "BertNormalizer", "lowercase": false, "strip_accents": true})", "a\u1DC4 a\u20D7 \u0915\u093E a\u20DD",
       "a a \u0915\u093E a\u20DD"},
      {R"({"type": "Precompiled"})", "a\u200Bb", "a b"},
      {R"({"type": "Precompiled"})", "a\u0007b", "ab"},
      {R"({"type": "Precompiled"})", "ｆｕｌｌ", "full"},
      {R"({"type": "Precompiled"})", "a～b", "a～b"},
      {R"({"type": "Precompiled"})", "a～～b", "a～b"},
      {R"({"type": "Precompiled"})", "～a～", "a"},
      {R"({"type": "StripAccents"})", "e\u0301", "\u00E9"},
      {R"({"type": "NFD"})", "\u00E9", "e\u0301"},
      {R"({"type": "NFC"})", "e\u0301", "\u00E9"},
      {R"({"type": "NFKD"})", "ﬁ\u00E9", "fie\u0301"},
      {R"({"type": "NFKC"})", "ﬁ", "fi"},
      {R"({"type": "Lowercase"})", "ÀÉÎ STRASSE Σ", "àéî strasse σ"},
      {R"({"type": "Strip"})", "  hi \n", "hi"},
      {R"({"type": "Strip", "strip_left": false})", "  hi \n", "  hi"},
      {R"({"type": "Strip"})", "\u3000\u00A0 ", ""},
      {R"({"type": "Prepend", "prepend": "▁"})", "", "▁"},
      {R"({"type": "Replace", "pattern": {"String": "  "}, "content": " "})", "a    b", "a  b"},
      {R"j({"type": "Replace", "pattern": {"Regex": "(\\d+)"}, "content": "<$1>"})j", "a12", "a<12>"},
      {R"({"type": "Replace", "pattern": {"String": " "}})", "a b", "a b"},  // no content: no pattern
      {R"({"type": "Sequence", "normalizers": []})", "Ab", "Ab"},
      {R"({"type": "Sequence", "normalizers": [{"x": 1}, {"type": "Prepend", "prepend": "▁"},
          {"type": "Replace", "pattern": {"String": " "}, "content": "▁"}]})", "a b", "▁a▁b"},
  };
  for (const auto& c : cases) {
    auto n = NormalizerFactory::fromConfig(json(c.config));
    ASSERT_NE(n, nullptr) << c.config;
    EXPECT_EQ(n->normalize(c.text), c.expected) << c.config << " on " << c.text;
  }
}

// ASCII text skips the normalization form; every byte cleans as it does next to a non-ASCII scalar.
TEST(NormalizerTest, PrecompiledTreatsAsciiAsWithOtherText) {
  std::string ascii;
  for (int c = 0; c < 0x80; ++c) ascii += static_cast<char>(c);
  ascii += ascii;
  const PrecompiledNormalizer precompiled;
  const std::string mixed = precompiled.normalize(ascii + "\u00E9");
  EXPECT_EQ(precompiled.normalize(ascii) + "\u00E9", mixed);
  EXPECT_EQ(precompiled.normalize("a\tb\r\n\x01" "c\x7F"), "a b  c");
}

// A normalizer's output is bounded by 16 times its input plus 4 KiB: a chain that keeps doubling
// the text or a huge prefix fails with tooLong instead of exhausting memory, while the growth of
// real normalizers stays within it.
TEST(NormalizerTest, OutputIsBoundedByAMultipleOfTheInput) {
  auto replaceChain = [](int count, const std::string& replacement) {
    std::string members;
    for (int i = 0; i < count; ++i)
      members += std::string(i ? ", " : "") + R"({"type": "Replace", "pattern": {"String": "a"}, "content": ")" +
                 replacement + "\"}";
    return R"({"type": "Sequence", "normalizers": [)" + members + "]}";
  };
  auto regexRepeat = [](int groups) {
    std::string content;
    for (int i = 0; i < groups; ++i) content += "$1";
    return R"j({"type": "Replace", "pattern": {"Regex": "(a+)"}, "content": ")j" + content + "\"}";
  };
  const std::string bound(4112, 'a');  // 16 times one byte plus 4096
  const struct {
    std::string config;
    std::string text;
    bool fits;
  } cases[] = {
      {replaceChain(20, "aa"), "a", false},  // 2^20 bytes from one
      {replaceChain(12, "aa"), "a", true},   // 4096 bytes
      {replaceChain(1, bound), "a", true},
      {replaceChain(1, bound + "a"), "a", false},
      {replaceChain(1, "aaaaaaaaaaaaaaaaa"), std::string(10000, 'a'), false},  // 17 times
      {regexRepeat(17), std::string(10000, 'a'), false},
      {regexRepeat(16), std::string(10000, 'a'), true},
      {R"({"type": "Prepend", "prepend": ")" + std::string(8192, 'x') + "\"}", "a", false},
      {R"({"type": "Prepend", "prepend": ")" + std::string(4000, 'x') + "\"}", "a", true},
      {R"({"type": "Prepend", "prepend": "▁"})", "", true},
      {R"({"type": "NFKD"})", [] { std::string t; for (int i = 0; i < 2000; ++i) t += "\uFDFA"; return t; }(), true},
      {R"({"type": "BertNormalizer"})", std::string(3000, 'x') + "中文字中文字中文字", true},
  };
  for (const auto& c : cases) {
    auto n = NormalizerFactory::fromConfig(json(c.config));
    ASSERT_NE(n, nullptr) << c.config.substr(0, 120);
    if (c.fits) {
      EXPECT_NO_THROW(n->normalize(c.text)) << c.config.substr(0, 120);
      continue;
    }
    try {
      const std::string out = n->normalize(c.text);
      ADD_FAILURE() << "gave " << out.size() << " bytes from " << c.text.size() << ": " << c.config.substr(0, 120);
    } catch (const TokenizerError& e) {
      EXPECT_EQ(e.kind(), TokenizerError::Kind::tooLong);
      EXPECT_NE(std::string(e.what()).find("bounded by 16 times its input plus 4 KiB"), std::string::npos) << e.what();
    }
  }
}

TEST(NormalizerTest, FactoryGivesNothingOrRejects) {
  EXPECT_EQ(NormalizerFactory::fromConfig(hub::Config()), nullptr);
  EXPECT_EQ(NormalizerFactory::fromConfig(json(R"({"lowercase": true})")), nullptr);
  const struct {
    const char* config;
    const char* message;
  } rejected[] = {
      {R"({"type": "Uppercase"})", "Unsupported Normalizer type: Uppercase"},
      {R"({"type": ""})", "Unsupported Normalizer type: "},
      {R"({"type": "Sequence"})", "No normalizers in Sequence"},
      {R"({"type": "Sequence", "normalizers": [{"type": "nfc"}]})", "Unsupported Normalizer type: nfc"},
      {R"({"type": "Replace", "pattern": {"Regex": "[a-"}, "content": ""})", "Cannot build regexp from [a-"},
  };
  for (const auto& r : rejected) {
    try {
      NormalizerFactory::fromConfig(json(r.config));
      ADD_FAILURE() << "accepted " << r.config;
    } catch (const StageConfigurationError& e) {
      EXPECT_STREQ(e.what(), r.message);
    }
  }
}

}  // namespace
}  // namespace tokenizers
