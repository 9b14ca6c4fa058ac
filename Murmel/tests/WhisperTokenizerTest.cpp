#include "Murmel/decoding/WhisperTokenizer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "Hub/JSONParser.h"
#include "Murmel/tests/FakeTokenizer.h"
#include "Tokenizers/PreTrainedTokenizer.h"
#include "testsupport/Fixtures.h"

namespace murmel {
namespace {

using testing::FakeTokenizer;

hub::Config readConfig(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return hub::JSONParser::parseToConfig(text.str());
}

std::filesystem::path whisperTinyFolder() { return testsupport::fixturesDir() / "tokenizers" / "whisper-tiny"; }

WhisperTokenizerWrapper fake(std::map<tokenizers::TokenId, std::string> pieces) {
  return WhisperTokenizerWrapper(std::make_shared<FakeTokenizer>(std::move(pieces)));
}

// Ids read from the fixture's tokenizer.json with Python's json module.
TEST(WhisperTokenizerTest, SpecialAndLanguageTokensOfWhisperTiny) {
  PARLET_REQUIRE_FIXTURE(whisperTinyFolder() / "tokenizer.json");
  auto tokenizer = std::make_shared<tokenizers::PreTrainedTokenizer>(readConfig(whisperTinyFolder() / "tokenizer_config.json"),
                                                                    readConfig(whisperTinyFolder() / "tokenizer.json"), true);
  WhisperTokenizerWrapper wrapper(tokenizer, whisperTinyFolder());
  const SpecialTokens expected{50257, 50259, 50362, 50363, 50257, 50361, 50258, 50364, 50359, 50358, 220};
  // The no-speech token is named "<|nocaptions|>" there; " " is unknown (the tokenizer answers its
  // unknown id): its fallback.
  EXPECT_EQ(wrapper.specialTokens(), expected);
  EXPECT_EQ(wrapper.convertTokenToId("<|xx|>"), std::nullopt);
  EXPECT_EQ(wrapper.convertTokenToId("<|endoftext|>"), 50257);
  std::set<std::int64_t> languages;
  for (std::int64_t id = 50259; id <= 50357; ++id) languages.insert(id);
  EXPECT_EQ(wrapper.allLanguageTokens(), languages);

  const auto ids = tokenizer->encode(" Hello world, this is it.", false);
  std::vector<std::int64_t> withSpecial{50258, 50259, 50359, 50364};
  withSpecial.insert(withSpecial.end(), ids.begin(), ids.end());
  withSpecial.push_back(50257);
  const auto split = wrapper.splitToWordTokens(withSpecial);
  EXPECT_EQ(split.words, (std::vector<std::string>{"<|startoftranscript|>", "<|en|>", "<|transcribe|>", "<|0.00|>", " Hello",
                                                   " world", ",", " this", " is", " it", ".", "<|endoftext|>"}));
}

TEST(WhisperTokenizerTest, UnknownTextsGiveFallbackIdsAndOnlyHighIdsAreLanguages) {
  auto wrapper = fake({{10, "<|en|>"}, {50300, "<|de|>"}, {50257, "<|fr|>"}, {70, "a"}});
  SpecialTokens fallbacks;
  fallbacks.englishToken = 10;  // known text, whatever its id
  EXPECT_EQ(wrapper.specialTokens(), fallbacks);
  EXPECT_EQ(wrapper.specialTokens().specialTokenBegin, wrapper.specialTokens().endToken);
  EXPECT_EQ(wrapper.allLanguageTokens(), (std::set<std::int64_t>{50300}));  // 10 and 50257 are not above 50257
}

// English-only vocabularies sit one id lower: their "<|nocaptions|>" is 50361, and 50362 is
// "<|notimestamps|>" there.
TEST(WhisperTokenizerTest, NoSpeechTokenIsFoundUnderEitherName) {
  struct Case {
    const char* name;
    std::map<tokenizers::TokenId, std::string> pieces;
    std::int64_t expected;
  };
  const Case cases[] = {
      {"current name", {{50362, "<|nospeech|>"}}, 50362},
      {"older name, English-only", {{50361, "<|nocaptions|>"}, {50362, "<|notimestamps|>"}}, 50361},
      {"both names", {{50300, "<|nocaptions|>"}, {50301, "<|nospeech|>"}}, 50301},
      {"neither", {{70, "a"}}, 50362},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(fake(c.pieces).specialTokens().noSpeechToken, c.expected);
  }
}

TEST(WhisperTokenizerTest, SplitOnSpacesMergesPiecesWithoutBlank) {
  auto wrapper = fake({{1, " Hel"}, {2, "lo"}, {3, ","}, {4, " world"}, {5, "Start"}, {6, "ed"}, {50258, "<|sot|>"}, {50370, "<|0.12|>"},
                       {7, "x"}});
  struct Case {
    std::vector<std::int64_t> tokens;
    std::vector<std::string> words;
    std::vector<std::vector<std::int64_t>> wordTokens;
  } cases[] = {
      {{1, 2, 3, 4}, {" Hello", ",", " world"}, {{1, 2}, {3}, {4}}},
      {{5, 6, 4}, {"Started", " world"}, {{5, 6}, {4}}},
      // A special piece starts a word; a following piece without blank joins it.
      {{50258, 5, 6, 50370, 7}, {"<|sot|>Started", "<|0.12|>x"}, {{50258, 5, 6}, {50370, 7}}},
      {{50258, 4, 50370, 3}, {"<|sot|>", " world", "<|0.12|>", ","}, {{50258}, {4}, {50370}, {3}}},
      {{}, {}, {}},
  };
  for (const auto& c : cases) {
    auto split = wrapper.splitToWordTokens(c.tokens);
    EXPECT_EQ(split.words, c.words);
    EXPECT_EQ(split.wordTokens, c.wordTokens);
  }
}

// A real U+FFFD early in the text must not make a later cut character look complete: the place
// checked in the full text is offset by what the earlier words spelled.
TEST(WhisperTokenizerTest, BrokenCharacterAfterRealReplacementCharacterStaysTogether) {
  auto wrapper = fake({{1, "\xEF\xBF\xBD"}, {2, "\xC3"}, {3, "\xA9"}, {4, "x"}});
  auto split = wrapper.splitTokensOnUnicode({1, 2, 3, 4});
  EXPECT_EQ(split.words, (std::vector<std::string>{"\uFFFD", "\u00e9", "x"}));
  EXPECT_EQ(split.wordTokens, (std::vector<std::vector<std::int64_t>>{{1}, {2, 3}, {4}}));
  // A cut character in the middle of the full text is held until complete.
  EXPECT_EQ(wrapper.splitTokensOnUnicode({4, 2, 3}).wordTokens, (std::vector<std::vector<std::int64_t>>{{4}, {2, 3}}));
}

TEST(WhisperTokenizerTest, JapaneseTextIsSplitPerCharacterRun) {
  // "こんにちは" with the first character cut over two tokens.
  auto wrapper = fake({{1, "\xE3\x81"}, {2, "\x93"}, {3, "\u3093"}, {4, "\u306b\u3061"}, {5, "\u306f"}});
  auto split = wrapper.splitToWordTokens({1, 2, 3, 4, 5});
  EXPECT_EQ(split.words, (std::vector<std::string>{"\u3053", "\u3093", "\u306b\u3061", "\u306f"}));
  EXPECT_EQ(split.wordTokens, (std::vector<std::vector<std::int64_t>>{{1, 2}, {3}, {4}, {5}}));
}

TEST(WhisperTokenizerTest, DominantScriptPicksTheSplitting) {
  struct Case {
    const char* text;
    std::optional<std::string> code;
  } cases[] = {{"Hello world", std::nullopt}, {"\u4f60\u597d\u4e16\u754c", "zh"}, {"\u4eca\u65e5\u306f", "ja"},
               {"\u0e2a\u0e27\u0e31\u0e2a\u0e14\u0e35", "th"}, {"Hi \u0e2a", std::nullopt}, {"", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(dominantUnsegmentedScript(c.text), c.code) << c.text;
}

}  // namespace
}  // namespace murmel
