#include <gtest/gtest.h>

#include <random>
#include <set>

#include "Tokenizers/BPETokenizer.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/tests/TokenizerTestSupport.h"

namespace tokenizers {
namespace {

using testing::json;
using Tokens = std::vector<std::string>;

BPETokenizer model(const std::string& vocab, const std::string& merges, const std::string& config = "{}",
                   const AddedTokens& added = {}) {
  return BPETokenizer(json(config), json(R"({"model": {"vocab": )" + vocab + R"(, "merges": )" + merges + "}}"), added);
}

// A vocabulary holding every part and result the merges name, so that they load.
std::string vocabularyOf(const std::string& merges) {
  std::set<std::string> texts;
  const auto list = BPETokenizer::mergesFromConfig(json(merges));
  for (const auto& parts : *list) {
    if (parts.size() < 2) continue;
    texts.insert({parts[0], parts[1], parts[0] + parts[1]});
  }
  std::string out;
  for (const auto& t : texts) out += (out.empty() ? "{\"" : ", \"") + t + "\": " + std::to_string(out.size());
  return out.empty() ? "{}" : out + "}";
}

TEST(BPETokenizerTest, MergesByRank) {
  const struct {
    const char* merges;
    const char* token;
    const char* merged;
  } cases[] = {
      {R"(["a b", "ab c"])", "abc", "abc"},
      {R"(["b c", "a b"])", "abc", "a bc"},          // (b, c) first; (a, bc) has no rank
      {R"(["a a"])", "aaa", "aa a"},                  // one pass, left to right, no overlap
      {R"(["a a", "aa aa"])", "aaaa", "aaaa"},
      {R"([["a", "b"], "ab c"])", "abc", "abc"},      // arrays and strings mix
      {R"(["a b c"])", "abc", "ab c"},                // parts beyond the second are ignored
      {R"(["a", 7, null, {"x": 1}, "a b"])", "ab", "ab"},  // unusable entries skipped
      {R"([])", "abc", "a b c"},
      {R"(["a b"])", "x", "x"},
      {R"(["e\u0301 x"])", "\u00E9x", "\u00E9 x"},    // symbols compare by exact text, not equivalence
      {R"(["\u212B x"])", "\u00C5x", "\u00C5 x"},      // the Angstrom sign is not its equivalent letter
      {R"(["\u00E9 x"])", "e\u0301x", "e \u0301 x"},  // symbols are scalars: a lone accent is one
  };
  for (const auto& c : cases)
    EXPECT_EQ(model(vocabularyOf(c.merges), c.merges).bpe(c.token), c.merged) << c.merges << " " << c.token;
}

TEST(BPETokenizerTest, LaterDuplicateMergeTakesTheLaterRank) {
  const std::string merges = R"(["a b", "c d", "a b"])";
  auto m = model(vocabularyOf(merges), merges);
  EXPECT_EQ(m.rank({"a", "b"}), 2);
  EXPECT_EQ(m.rank({"c", "d"}), 1);
  EXPECT_EQ(m.rank({"b", "a"}), std::nullopt);
}

TEST(BPETokenizerTest, TokenizesWithByteFallback) {
  auto m = model(R"({"ab": 0, "abc": 1, "c": 2, "x": 3, "y": 4, "<unk>": 5, "a": 6, "b": 7})", R"(["a b", "ab c"])",
                 R"({"unk_token": "<unk>"})");
  const struct {
    std::string text;
    Tokens tokens;
  } cases[] = {
      {"abc", {"abc"}},
      {"", {}},
      {" ", {}},
      {"xy", {"x", "y"}},
      {"\u00E9", {"<0xC3>", "<0xA9>"}},
      {"<unk>", {"<0x3C>", "<0x75>", "<0x6E>", "<0x6B>", "<0x3E>"}},  // the unknown token itself falls back
  };
  for (const auto& c : cases) EXPECT_EQ(m.tokenize(c.text), c.tokens) << c.text;
  // A merge that only a canonically equivalent spelling would take leaves the pieces apart: the
  // known one keeps its token and only the other falls back to bytes.
  auto accents = model(R"({"a": 0, "\u00C5": 1, "a\u00C5": 2})", R"(["a \u00C5"])");
  const struct {
    std::string text;
    Tokens tokens;
  } equivalents[] = {
      {"a\u00C5", {"a\u00C5"}},
      {"a\u212B", {"a", "<0xE2>", "<0x84>", "<0xAB>"}},
      {"aA\u030A", {"a", "<0x41>", "<0xCC>", "<0x8A>"}},
  };
  for (const auto& c : equivalents) EXPECT_EQ(accents.tokenize(c.text), c.tokens) << c.text;
  EXPECT_EQ(BPETokenizer::hexaEncode("\n"), (Tokens{"<0x0A>"}));
}

TEST(BPETokenizerTest, ConvertsWithUnknownAndAddedTokens) {
  auto m = model(R"({"a": 0, "b": 1, "<unk>": 2, "<s>": 3})", "[]",
                 R"({"unk_token": {"content": "<unk>"}, "bos_token": "<s>", "eos_token": "</s>", "fuse_unk": true})",
                 {{"b", 7}, {"<extra>", 8}});
  EXPECT_EQ(m.unknownToken(), "<unk>");
  EXPECT_EQ(m.unknownTokenId(), 2);
  EXPECT_EQ(m.bosTokenId(), 3);
  EXPECT_EQ(m.eosToken(), "</s>");
  EXPECT_EQ(m.eosTokenId(), std::nullopt);
  EXPECT_TRUE(m.fuseUnknownTokens());
  EXPECT_EQ(m.convertTokenToId("b"), 7);
  EXPECT_EQ(m.convertTokenToId("<extra>"), 8);
  EXPECT_EQ(m.convertTokenToId("zzz"), 2);
  EXPECT_EQ(m.convertIdToToken(7), "b");
  EXPECT_EQ(m.convertIdToToken(99), std::nullopt);
  EXPECT_EQ(m.convertTokensToIds({}), std::vector<std::optional<TokenId>>{});

  auto bare = model(R"({"a": 0, "b": "1", "c": 2.5})", "[]", R"({"fuse_unk": false})");
  EXPECT_EQ(bare.convertTokenToId("zzz"), std::nullopt);
  EXPECT_EQ(bare.convertTokenToId("b"), std::nullopt);  // not an integer: left out
  EXPECT_EQ(bare.convertTokensToIds({"a", "q"}), (std::vector<std::optional<TokenId>>{0, std::nullopt}));
  // fuse_unk inside the model section is not read.
  auto data = json(R"({"model": {"vocab": {}, "merges": [], "fuse_unk": true}})");
  EXPECT_FALSE(BPETokenizer(json("{}"), data, {}).fuseUnknownTokens());
}

TEST(BPETokenizerTest, SharedIdsResolveTheSameWayWhateverTheOrder) {
  // Two texts for id 5: an added token's text wins over the vocabulary's, and among plain
  // entries the smallest text does.
  for (int round = 0; round < 4; ++round) {
    std::string vocab = round % 2 ? R"({"zeta": 5, "alpha": 5, "x": 6})" : R"({"alpha": 5, "x": 6, "zeta": 5})";
    EXPECT_EQ(model(vocab, "[]").convertIdToToken(5), "alpha");
    EXPECT_EQ(model(vocab, "[]", "{}", {{"<five>", 5}}).convertIdToToken(5), "<five>");
  }
}

TEST(BPETokenizerTest, BrokenDocumentsAreErrors) {
  const struct {
    const char* data;
    TokenizerError::Kind kind;
  } cases[] = {
      {R"({"model": {"vocab": {}}})", TokenizerError::Kind::mismatchedConfig},
      {R"({"model": {"vocab": {}, "merges": "a b"}})", TokenizerError::Kind::mismatchedConfig},
      {R"({"model": {"vocab": [], "merges": []}})", TokenizerError::Kind::missingVocab},
      {R"({"model": {"merges": []}})", TokenizerError::Kind::missingVocab},
      {R"({})", TokenizerError::Kind::mismatchedConfig},
  };
  for (const auto& c : cases) {
    try {
      BPETokenizer(json("{}"), json(c.data), {});
      ADD_FAILURE() << "accepted " << c.data;
    } catch (const TokenizerError& e) {
      EXPECT_EQ(e.kind(), c.kind) << c.data;
      if (c.kind == TokenizerError::Kind::mismatchedConfig) {
        EXPECT_STREQ(e.what(), "Tokenizer configuration mismatch: BPETokenizer requires merges");
      }
    }
  }
  // Merges of one part are outside the format: skipped, never ranked.
  auto m = model(R"({"a": 0, "b": 1, "ab": 2})", R"(["ab", ["a"], "a b"])");
  EXPECT_EQ(m.bpe("ab"), "ab");
}

// A merge names its two parts and their join; each must be a token of the vocabulary (or an added
// token), else the merge would make tokens without ids.
TEST(BPETokenizerTest, MergeOfUnknownTokensIsALoadError) {
  const struct {
    const char* vocab;
    const char* merges;
    const char* message;
  } cases[] = {
      {R"({"x": 0, "y": 1})", R"(["x y"])", "merge \"x y\" at model.merges[0] names \"xy\""},
      {R"({"t": 0, "1": 1, "t1": 2, "9": 3})", R"(["t 1", "9 9"])", "merge \"9 9\" at model.merges[1] names \"99\""},
      {R"({"y": 1, "xy": 2})", R"([["x", "y"]])", "merge \"x y\" at model.merges[0] names \"x\""},
      {R"({"x": 1, "xy": 2})", R"(["x y"])", "merge \"x y\" at model.merges[0] names \"y\""},
  };
  for (const auto& c : cases) {
    try {
      model(c.vocab, c.merges);
      ADD_FAILURE() << "accepted " << c.merges;
    } catch (const TokenizerError& e) {
      EXPECT_EQ(e.kind(), TokenizerError::Kind::mismatchedConfig);
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("not in the vocabulary"), std::string::npos) << e.what();
    }
  }
  // An added token completes the vocabulary.
  EXPECT_EQ(model(R"({"x": 0, "y": 1})", R"(["x y"])", "{}", {{"xy", 9}}).tokenize("xy"), (Tokens{"xy"}));
}

// The merge loop of the model (with its heap for long pieces) against the plain round-by-round
// rescan written out here, over random merge lists and pieces of up to 200 characters.
std::string referenceBpe(const std::string& token, const std::vector<std::pair<std::string, std::string>>& merges) {
  std::vector<std::string> word;
  for (char c : token) word.emplace_back(1, c);
  auto rankOf = [&](const std::string& a, const std::string& b) -> long {
    long rank = -1;
    for (std::size_t i = 0; i < merges.size(); ++i)
      if (merges[i].first == a && merges[i].second == b) rank = static_cast<long>(i);
    return rank;
  };
  while (word.size() > 1) {
    long best = -1;
    std::pair<std::string, std::string> pair;
    for (std::size_t i = 0; i + 1 < word.size(); ++i) {
      long r = rankOf(word[i], word[i + 1]);
      if (r >= 0 && (best < 0 || r < best)) best = r, pair = {word[i], word[i + 1]};
    }
    if (best < 0) break;
    std::vector<std::string> next;
    for (std::size_t i = 0; i < word.size();) {
      if (i + 1 < word.size() && word[i] == pair.first && word[i + 1] == pair.second) {
        next.push_back(word[i] + word[i + 1]);
        i += 2;
      } else {
        next.push_back(word[i++]);
      }
    }
    word = next;
  }
  std::string out;
  for (const auto& w : word) out += (out.empty() ? "" : " ") + w;
  return out;
}

TEST(BPETokenizerTest, LongPiecesMergeLikeTheRoundByRoundRescan) {
  std::mt19937 random(7);
  for (int round = 0; round < 40; ++round) {
    // Symbols over "abc"; merges join existing symbols, so longer ones appear as training would.
    std::vector<std::string> symbols = {"a", "b", "c"};
    std::vector<std::pair<std::string, std::string>> merges;
    std::string mergesJson = "[";
    for (int i = 0; i < 30; ++i) {
      const auto& a = symbols[random() % symbols.size()];
      const auto& b = symbols[random() % symbols.size()];
      merges.emplace_back(a, b);
      mergesJson += (i ? ", \"" : "\"") + a + " " + b + "\"";
      if (a.size() + b.size() < 8) symbols.push_back(a + b);
    }
    mergesJson += "]";
    auto m = model(vocabularyOf(mergesJson), mergesJson);
    for (int k = 0; k < 5; ++k) {
      std::string token;
      const std::size_t length = 1 + random() % 200;
      for (std::size_t i = 0; i < length; ++i) token += static_cast<char>('a' + random() % 3);
      ASSERT_EQ(m.bpe(token), referenceBpe(token, merges)) << mergesJson << " on " << token;
    }
  }
}

}  // namespace
}  // namespace tokenizers
