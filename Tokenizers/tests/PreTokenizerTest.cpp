#include <gtest/gtest.h>

#include <random>

#include "Tokenizers/PreTokenizer.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/detail/ByteLevelSplit.h"
#include "Tokenizers/tests/TokenizerTestSupport.h"
#include "platform/Text/Regex.h"
#include "platform/Text/Unicode.h"

namespace tokenizers {
namespace {

using testing::json;
using Pieces = std::vector<std::string>;

Pieces run(const char* config, std::string_view text, PreTokenizerOptions options = {}) {
  auto p = PreTokenizerFactory::fromConfig(json(config));
  if (!p) {
    ADD_FAILURE() << "no pre-tokenizer for " << config;
    return {};
  }
  return p->preTokenize(text, options);
}

TEST(PreTokenizerTest, SplitsByKind) {
  const PreTokenizerOptions first{PreTokenizerOption::firstSection};
  const struct {
    const char* config;
    std::string text;
    Pieces pieces;
    PreTokenizerOptions options;
  } cases[] = {
      {R"({"type": "ByteLevel"})", "Hello world", {"Hello", "\u0120world"}, {}},
      {R"({"type": "ByteLevel", "add_prefix_space": true})", "Hello world", {"\u0120Hello", "\u0120world"}, {}},
      {R"({"type": "ByteLevel"})", "don't", {"don", "'t"}, {}},
      {R"({"type": "ByteLevel"})", "  a", {"\u0120", "\u0120a"}, {}},
      {R"({"type": "ByteLevel"})", "\u00E9", {"\u00C3\u00A9"}, {}},
      {R"({"type": "ByteLevel", "use_regex": false})", "a b", {"a\u0120b"}, {}},
      {R"({"type": "ByteLevel", "use_regex": false})", "", {""}, {}},
      {R"({"type": "ByteLevel"})", "", {}, {}},
      {R"({"type": "Whitespace"})", "a, b", {"a,", "b"}, {}},
      {R"({"type": "WhitespaceSplit"})", "a, b", {"a,", "b"}, {}},
      {R"({"type": "BertPreTokenizer"})", "Hello, world!", {"Hello", ",", "world", "!"}, {}},
      {R"({"type": "BertPreTokenizer"})", "!!", {"!", "!"}, {}},
      {R"({"type": "Punctuation"})", "Hello, world!", {"Hello", ",", " world", "!"}, {}},
      {R"({"type": "Digits"})", "abc123", {"abc", "123"}, {}},
      {R"({"type": "Digits", "individual_digits": true})", "abc123", {"abc", "1", "2", "3"}, {}},
      {R"({"type": "Split", "pattern": {"String": "-"}})", "a-b", {"a", "-", "b"}, {}},
      {R"({"type": "Split", "pattern": {"String": "-"}, "invert": true})", "a-b", {"a", "b"}, {}},
      {R"({"type": "Split", "pattern": {"Regex": "-"}, "invert": true})", "a-b", {"a", "-", "b"}, {}},
      {R"({"type": "Split", "pattern": {"String": "."}})", "a.b", {"a", ".", "b"}, {}},  // literal, not "any"
      {R"({"type": "Split"})", "a-b", {"a-b"}, {}},
      {R"({"type": "Metaspace", "replacement": "▁", "prepend_scheme": "always"})", "Hey friend", {"▁Hey", "▁friend"}, {}},
      {R"({"type": "Metaspace", "replacement": "▁", "prepend_scheme": "first"})", "Hey friend", {"▁Hey", "▁friend"}, first},
      {R"({"type": "Metaspace", "replacement": "▁", "prepend_scheme": "first"})", "Hey friend", {"Hey", "▁friend"}, {}},
      {R"({"type": "Metaspace", "replacement": "▁", "prepend_scheme": "never"})", "Hey friend", {"Hey", "▁friend"}, first},
      {R"({"type": "Metaspace", "replacement": "▁"})", "▁Hey", {"▁Hey"}, {}},
      {R"({"type": "Metaspace", "replacement": "▁", "add_prefix_space": false})", "Hey", {"Hey"}, {}},
      {R"({"type": "Metaspace", "replacement": "▁", "prepend_scheme": "sometimes"})", "Hey", {"▁Hey"}, {}},
      {R"({"type": "Metaspace", "replacement": "▁"})", "▁▁a", {"▁", "▁a"}, {}},
      {R"({"type": "Sequence", "pretokenizers": [{"type": "Punctuation"}, {"type": "Digits"}]})", "a1,b", {"a", "1", ",", "b"}, {}},
      {R"({"type": "Sequence", "pretokenizers": [{"no": "type"}, {"type": "WhitespaceSplit"}]})", "a b", {"a", "b"}, {}},
      {R"({"type": "Sequence", "pretokenizers": []})", "a b", {"a b"}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(run(c.config, c.text, c.options), c.pieces) << c.config << " on " << c.text;
}

// The whitespace split cuts without its expression; over every scalar it cuts where "\\S+" does,
// and text that is not UTF-8 goes to the expression.
TEST(PreTokenizerTest, WhitespaceSplitCutsWhereItsExpressionDoes) {
  std::string text;
  for (char32_t c = 1; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    platform::text::appendUtf8(text, c);
    text += c % 3 ? "x" : "";
    if (c % 50 == 0) text += ' ';  // the expression's own stack limits its runs
  }
  const WhitespacePreTokenizer split;
  const platform::text::Regex expression(WhitespacePreTokenizer::kPattern);
  const auto expected = expression.matchedTexts(text);
  EXPECT_EQ(split.preTokenize(text), Pieces(expected.begin(), expected.end()));
  EXPECT_EQ(split.preTokenize("  a\t\u00A0b\u2003\u3000c\u200Bd  "), (Pieces{"a", "b", "c\u200Bd"}));
  EXPECT_THROW(split.preTokenize("a \xFF"), platform::text::InvalidUtf8Error);
}

// The expression gave up on runs of about a million characters (its backtracking stack overflowed).
TEST(PreTokenizerTest, WhitespaceSplitTakesRunsOfAnyLength) {
  const std::string run(1500000, 'a');
  EXPECT_EQ(WhitespacePreTokenizer().preTokenize(" " + run + " b"), (Pieces{run, "b"}));
}

// A replacement without metacharacters is searched for as it is; one with them stays an expression.
TEST(PreTokenizerTest, MetaspaceCutsInFrontOfEachReplacement) {
  const struct {
    const char* replacement;
    std::string text;
    Pieces pieces;
  } cases[] = {
      {"\u2581", "a\u2581\u2581b c", {"\u2581a", "\u2581", "\u2581b", "\u2581c"}},
      {"\u2581", "a  b", {"\u2581a", "\u2581", "\u2581b"}},
      {"\u2581", "", {"\u2581"}},
      {"\u2581", " ", {"\u2581"}},
      {"\u2581", "\u2581\u2581", {"\u2581", "\u2581"}},
      {"__", "a b", {"__a", "__b"}},
      {"__", "a___b", {"__a", "___b"}},  // occurrences do not overlap
      {"__", "__x", {"__x"}},
      {".", "ab", {".", "a", "b"}},      // "." matches every character
  };
  for (const auto& c : cases) {
    const std::string config = std::string(R"({"type": "Metaspace", "replacement": ")") + c.replacement + "\"}";
    EXPECT_EQ(run(config.c_str(), c.text), c.pieces) << c.replacement << " on " << c.text;
  }
}

TEST(PreTokenizerTest, FactoryGivesNothingOrRejects) {
  EXPECT_EQ(PreTokenizerFactory::fromConfig(hub::Config()), nullptr);
  EXPECT_EQ(PreTokenizerFactory::fromConfig(json(R"({"add_prefix_space": true})")), nullptr);
  EXPECT_EQ(PreTokenizerFactory::fromConfig(json(R"({"type": 3})")), nullptr);
  const struct {
    const char* config;
    const char* message;
  } rejected[] = {
      {R"({"type": "Nope"})", "Unsupported PreTokenizer type: Nope"},
      {R"({"type": ""})", "Unsupported PreTokenizer type: "},
      {R"({"type": "Sequence", "pretokenizers": [{"type": "bytelevel"}]})", "Unsupported PreTokenizer type: bytelevel"},
      {R"({"type": "Sequence"})", "No pretokenizers in Sequence"},
      {R"({"type": "Split", "pattern": {"Regex": "(unclosed"}})", "Cannot build regexp from (unclosed"},
  };
  for (const auto& r : rejected) {
    try {
      PreTokenizerFactory::fromConfig(json(r.config));
      ADD_FAILURE() << "accepted " << r.config;
    } catch (const StageConfigurationError& e) {
      EXPECT_STREQ(e.what(), r.message);
    }
  }
}

TEST(StringSplitTest, BehavioursAndCaptureGroups) {
  EXPECT_EQ(split("a-b-", "-", StringSearch::literal, true), (Pieces{"a", "-", "b", "-"}));
  EXPECT_EQ(split("a-b", "-", StringSearch::literal, SplitDelimiterBehavior::mergedWithPrevious), (Pieces{"a-", "b"}));
  EXPECT_EQ(split("a-b", "-", StringSearch::literal, SplitDelimiterBehavior::mergedWithNext), (Pieces{"a", "-b"}));
  EXPECT_EQ(split("", "▁", StringSearch::regularExpression, SplitDelimiterBehavior::mergedWithNext), Pieces{});
  // A separator that matches the empty text still ends.
  EXPECT_EQ(split("ab", "x*", StringSearch::regularExpression, true), (Pieces{"a", "b"}));
  EXPECT_EQ(split("a <tok> b", platform::text::Regex("\\s*(<tok>)\\s*")), (Pieces{"a", "<tok>", "b"}));
  EXPECT_EQ(split("", platform::text::Regex("(<tok>)")), (Pieces{""}));
}

// The hand-written GPT-2 split must give exactly the matches of ICU's engine on the expression.
TEST(ByteLevelSplitTest, AgreesWithTheRegularExpressionEngine) {
  const platform::text::Regex reference{std::string(ByteLevelPreTokenizer::kPattern)};
  const std::vector<std::string> alphabet = {
      "a", "Z", "é", "e\u0301", "ß", "中", "7", "٣", "Ⅻ", "½", " ", "  ", "\t", "\n", "\r\n", "\u000B", "\u0085",
      "\u00A0", "\u2028", "\u3000", "\u200B", "'", "'s", "'t", "'re", "'ve", "'m", "'ll", "'d", "'x", "!", "?!", ".",
      "😀", "👩‍👩‍👧", "\u0300", "-", "_", "$", "\u001F"};
  std::mt19937 random(12345);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int length = static_cast<int>(random() % 12);
    for (int i = 0; i < length; ++i) text += alphabet[random() % alphabet.size()];
    auto expected = reference.matchedTexts(text);
    auto actual = detail::byteLevelPieces(text);
    ASSERT_EQ(actual, expected) << "text: \"" << text << "\"";
  }
}

}  // namespace
}  // namespace tokenizers
