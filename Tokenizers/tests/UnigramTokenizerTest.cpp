#include <gtest/gtest.h>

#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/UnigramTokenizer.h"
#include "Tokenizers/tests/TokenizerTestSupport.h"

namespace tokenizers {
namespace {

using testing::json;
using Tokens = std::vector<std::string>;

UnigramTokenizer unigram(const std::string& vocab, int unkId = 0, const std::string& config = "{}") {
  return UnigramTokenizer(json(config),
                          json(R"({"model": {"vocab": )" + vocab + R"(, "unk_id": )" + std::to_string(unkId) + "}}"), {});
}

TEST(UnigramTokenizerTest, PicksTheBestScoringPath) {
  const struct {
    const char* abScore;
    std::string text;
    Tokens tokens;
  } cases[] = {
      {"-2.5", "ab", {"ab"}},     // -2.5 beats -1 + -2
      {"-3.5", "ab", {"a", "b"}},
      {"-3", "ab", {"ab"}},       // a tie: the node that starts earlier wins
      {"-2.5", "ac", {"a", "c"}}, // "c" is unknown: an unknown node scored minScore - 10
      {"-2.5", "", {}},
      {"-2.5", "abab", {"ab", "ab"}},
  };
  for (const auto& c : cases) {
    auto u = unigram(std::string(R"([["<unk>", 0], ["a", -1], ["b", -2], ["ab", )") + c.abScore + "]]");
    EXPECT_EQ(u.tokenize(c.text), c.tokens) << c.abScore << " " << c.text;
  }
  auto u = unigram(R"([["<unk>", 0], ["a", -1], ["b", -2], ["ab", -2.5]])");
  EXPECT_FLOAT_EQ(u.minScore(), -2.5f);
  EXPECT_FLOAT_EQ(u.unknownPiece().score, -12.5f);
  EXPECT_EQ(u.convertTokenToId("c"), 0);
  EXPECT_EQ(u.convertIdToToken(-1), std::nullopt);
  EXPECT_EQ(u.convertIdToToken(4), std::nullopt);
  EXPECT_EQ(u.convertIdToToken(3), "ab");
}

TEST(UnigramTokenizerTest, FixedTokensAndScores) {
  auto high = unigram(R"([["<unk>", 1000], ["x", 3], [" ", 1001]])", 0,
                      R"({"bos_token": "<s>", "eos_token": "x", "fuse_unk": false})");
  EXPECT_FLOAT_EQ(high.minScore(), 3.0f);
  auto top = unigram(R"([["<unk>", 1000], [" ", 1001]])");
  EXPECT_FLOAT_EQ(top.minScore(), 999.0f);
  EXPECT_FLOAT_EQ(top.unknownPiece().score, 989.0f);
  EXPECT_EQ(high.bosToken(), " ");
  EXPECT_EQ(high.bosTokenId(), 2);
  EXPECT_EQ(high.eosTokenId(), 1);
  EXPECT_TRUE(high.fuseUnknownTokens());
  EXPECT_EQ(unigram(R"([["<unk>", 0]])", 0, R"({"eos_token": {"content": "</s>"}})").eosToken(), std::nullopt);
}

TEST(UnigramTokenizerTest, BrokenVocabulariesAreErrors) {
  const struct {
    const char* model;
    TokenizerError::Kind kind;
  } cases[] = {
      {R"({"unk_id": 0})", TokenizerError::Kind::missingVocab},
      {R"({"vocab": {"a": 1}, "unk_id": 0})", TokenizerError::Kind::missingVocab},
      {R"({"vocab": [["x"]], "unk_id": 0})", TokenizerError::Kind::malformedVocab},
      {R"({"vocab": [[]], "unk_id": 0})", TokenizerError::Kind::malformedVocab},
      {R"({"vocab": ["x"], "unk_id": 0})", TokenizerError::Kind::malformedVocab},
      {R"({"vocab": [[1, 2.0]], "unk_id": 0})", TokenizerError::Kind::malformedVocab},
      {R"({"vocab": [["x", 1.0]]})", TokenizerError::Kind::malformedVocab},
      {R"({"vocab": [["x", 1.0]], "unk_id": 1})", TokenizerError::Kind::malformedVocab},
      {R"({"vocab": [["x", 1.0]], "unk_id": -1})", TokenizerError::Kind::malformedVocab},
      {R"({"vocab": [["x", 1.0]], "unk_id": 0.0})", TokenizerError::Kind::malformedVocab},
  };
  for (const auto& c : cases) {
    try {
      UnigramTokenizer(json("{}"), json(std::string(R"({"model": )") + c.model + "}"), {});
      ADD_FAILURE() << "accepted " << c.model;
    } catch (const TokenizerError& e) {
      EXPECT_EQ(e.kind(), c.kind) << c.model;
    }
  }
  // The same text twice keeps its first id and does not stop construction.
  auto twice = unigram(R"([["<unk>", 0], ["a", -1], ["a", -5]])");
  EXPECT_EQ(twice.convertTokenToId("a"), 1);
  EXPECT_EQ(twice.tokenize("aa"), (Tokens{"a", "a"}));
}

// Ids come from the exact text: a prefix of a token, a longer text and another spelling are unknown.
TEST(UnigramTokenizerTest, ConvertsTokensByExactText) {
  auto u = unigram(R"([["<unk>", 0], ["abc", -1], ["", -2], ["\u00E9", -3], ["abc", -4], ["a", -5]])");
  const struct {
    const char* token;
    TokenId id;
  } cases[] = {{"abc", 1}, {"", 2}, {"\u00E9", 3}, {"a", 5}, {"ab", 0}, {"abcd", 0}, {"e\u0301", 0}, {"\xC3", 0}, {"<unk>", 0}};
  for (const auto& c : cases) EXPECT_EQ(u.convertTokenToId(c.token), c.id) << c.token;
}

// A hostile vocabulary with one very long token builds, tokenizes and is freed without exhausting
// the stack (the prefix tree is as deep as the token is long).
TEST(UnigramTokenizerTest, VeryLongVocabularyTokenIsHarmless) {
  const std::string longToken(200000, 'a');
  auto u = unigram(R"([["<unk>", 0], ["a", -1], [")" + longToken + R"(", -2]])");
  EXPECT_EQ(u.tokenize("aab"), (Tokens{"a", "a", "b"}));
}

// Characters are scalars, compared exactly: a combining mark is a character of its own, and a
// spelling in another normalization form is another text (bringing it to one form is the
// normalizer's work).
TEST(UnigramTokenizerTest, CharactersAreScalars) {
  auto u = unigram(R"([["<unk>", 0], ["caf\u00E9", -1], ["c", -3], ["a", -3], ["f", -3], ["e", -3], ["x", -3],
                       ["\u0301", -3]])");
  EXPECT_EQ(u.tokenize("caf\u00E9"), (Tokens{"caf\u00E9"}));
  EXPECT_EQ(u.tokenize("cafe\u0301"), (Tokens{"c", "a", "f", "e", "\u0301"}));
  EXPECT_EQ(u.tokenize("x\u0301\u0302"), (Tokens{"x", "\u0301", "\u0302"}));  // U+0302 alone is unknown
  EXPECT_EQ(u.tokenize("\r\n"), (Tokens{"\r", "\n"}));  // two unknown nodes, fused later by the front end
}

TEST(TokenLatticeTest, DescribesNodes) {
  TokenLattice lattice("ab", 7, 8);
  lattice.insert(0, 2, -1.5f, 3);
  lattice.insert(5, 1, 0, 4);  // outside the sentence: ignored
  EXPECT_EQ(lattice.nodes().size(), 3u);
  EXPECT_EQ(lattice.nodes()[2].description(),
            "TokenLatticeNode(tokenId: 3, startOffset: 0, length: 2, score: -1.5, prev: false, backtraceScore: 0.0");
  // Scores print with their shortest round-trip digits, exponential below 1e-4 and above 2^24.
  const struct {
    float score;
    const char* text;
  } scores[] = {{-12.34567f, "-12.34567"}, {3.0f, "3.0"}, {0.0001f, "0.0001"}, {0.00001f, "1e-05"},
                {16777216.0f, "16777216.0"}, {16777218.0f, "1.6777218e+07"}};
  for (const auto& s : scores) {
    TokenLatticeNode node{1, 0, 1, s.score, std::nullopt, 0};
    EXPECT_EQ(node.description(), std::string("TokenLatticeNode(tokenId: 1, startOffset: 0, length: 1, score: ") +
                                      s.text + ", prev: false, backtraceScore: 0.0");
  }
  // Every position needs a node starting there, or there is no path at all.
  EXPECT_EQ(lattice.tokens(), Tokens{});
  lattice.insert(0, 1, -1, 1);
  lattice.insert(1, 1, -1, 2);
  EXPECT_EQ(lattice.tokens(), (Tokens{"ab"}));  // -1.5 beats -2
}

}  // namespace
}  // namespace tokenizers
