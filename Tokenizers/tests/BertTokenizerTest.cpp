#include <gtest/gtest.h>

#include "Tokenizers/BertTokenizer.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/tests/TokenizerTestSupport.h"

namespace tokenizers {
namespace {

using testing::json;
using Tokens = std::vector<std::string>;

TEST(BasicTokenizerTest, SplitsWordsAndPunctuation) {
  const BasicTokenizer lower(true), keep(false);
  const struct {
    const BasicTokenizer* tokenizer;
    std::string text;
    Tokens words;
  } cases[] = {
      {&lower, "Hello, World!", {"hello", ",", "world", "!"}},
      {&lower, "Café", {"cafe"}},
      {&keep, "Café", {"Café"}},
      {&lower, "[CLS] x", {"[CLS]", "x"}},
      {&lower, "[cls]", {"[", "cls", "]"}},
      {&lower, "a\nb", {"a\nb"}},  // a line feed does not cut
      {&lower, "a+b", {"a", "+", "b"}},
      {&keep, "x$y<z>`|~^", {"x", "$", "y", "<", "z", ">", "`", "|", "~", "^"}},
      {&keep, "a\tb\u00A0c\u3000d", {"a", "b", "c", "d"}},
      {&keep, "  ", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.tokenizer->tokenize(c.text), c.words) << c.text;
}

TEST(WordpieceTokenizerTest, GreedyLongestMatchFirst) {
  BertTokenizer bert({{"un", 0}, {"##aff", 1}, {"##able", 2}, {"[UNK]", 3}, {"a", 4}, {"中", 5}}, std::nullopt, true,
                     std::nullopt, std::nullopt, false, true);
  EXPECT_EQ(bert.tokenize("unaffable"), (Tokens{"un", "##aff", "##able"}));
  EXPECT_EQ(bert.tokenize("unaffx"), (Tokens{"[UNK]"}));
  EXPECT_EQ(bert.tokenize(std::string(100, 'a')).size(), 1u);  // no "##a": the whole word is unknown
  EXPECT_EQ(bert.tokenize(std::string(101, 'a')), (Tokens{"[UNK]"}));
  EXPECT_EQ(bert.tokenize("a中a"), (Tokens{"a", "中", "a"}));
  EXPECT_EQ(bert.unknownTokenId(), 3);
  EXPECT_EQ(bert.convertTokenToId("nothing"), 3);

  BertTokenizer repeated({{"a", 0}, {"##a", 1}, {"[UNK]", 2}}, std::nullopt, true, std::nullopt, std::nullopt, false, true);
  EXPECT_EQ(repeated.tokenize(std::string(100, 'a')).size(), 100u);
  EXPECT_EQ(repeated.tokenize(std::string(101, 'a')), (Tokens{"[UNK]"}));
}

TEST(BertTokenizerTest, VocabularyComparesByCanonicalEquivalence) {
  BertTokenizer bert({{"caf\u00E9", 0}, {"[UNK]", 1}}, std::nullopt, true, std::nullopt, std::nullopt, false, false);
  EXPECT_EQ(bert.convertTokenToId("cafe\u0301"), 0);
  EXPECT_EQ(bert.tokenize("cafe\u0301"), (Tokens{"cafe\u0301"}));
}

// Canonically equivalent texts collide; the entry kept, and the text of a shared id, must not
// depend on hash order: the greatest text's id wins, the smallest text names an id.
TEST(BertTokenizerTest, CollisionsResolveTheSameWayWhateverTheOrder) {
  const std::vector<std::pair<std::string, TokenId>> entries = {
      {"caf\u00E9", 0}, {"cafe\u0301", 1}, {"zeta", 5}, {"alpha", 5}, {"[UNK]", 9}};
  for (int rotation = 0; rotation < 5; ++rotation) {
    std::unordered_map<std::string, TokenId> vocab;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const auto& e = entries[(i + rotation) % entries.size()];
      vocab.emplace(e.first, e.second);
    }
    BertTokenizer bert(vocab, std::nullopt, true, std::nullopt, std::nullopt, false, false);
    EXPECT_EQ(bert.convertTokenToId("cafe\u0301"), 0);
    EXPECT_EQ(bert.convertTokenToId("caf\u00E9"), 0);
    EXPECT_EQ(bert.convertIdToToken(5), "alpha");
  }
}

TEST(BertTokenizerTest, BuildsFromDocumentsWithAddedTokenPrecedence) {
  const auto data = json(R"({"model": {"vocab": {"a": 0, "b": 1, "c": 2, "bad": "x"}},
      "added_tokens": [{"id": 10, "content": "b"}, {"id": 11, "content": "c"}, {"id": "12", "content": "d"}]})");
  BertTokenizer bert(json(R"({"eos_token": {"content": "a"}, "bos_token": "a", "fuse_unk": "true"})"), data, {{"c", 20}});
  EXPECT_EQ(bert.convertTokenToId("b"), 10);
  EXPECT_EQ(bert.convertTokenToId("c"), 20);
  EXPECT_EQ(bert.convertTokenToId("d"), std::nullopt);   // no [UNK] in the vocabulary
  EXPECT_EQ(bert.convertTokenToId("bad"), std::nullopt);
  EXPECT_EQ(bert.bosTokenId(), 0);
  EXPECT_EQ(bert.eosToken(), std::nullopt);  // the object form is not read here
  EXPECT_TRUE(bert.fuseUnknownTokens());
  EXPECT_EQ(bert.tokenize("zz"), (Tokens{"[UNK]"}));
  // An added text also replaces a vocabulary entry spelled in another normalization form.
  const auto spelled = json(R"({"model": {"vocab": {"caf\u00E9": 5, "\u00E9": 6, "[UNK]": 7}},
      "added_tokens": [{"id": 10, "content": "cafe\u0301"}]})");
  BertTokenizer equivalent(json("{}"), spelled, {{"e\u0301", 20}});
  EXPECT_EQ(equivalent.convertTokenToId("cafe\u0301"), 10);
  EXPECT_EQ(equivalent.convertTokenToId("caf\u00E9"), 10);
  EXPECT_EQ(equivalent.convertTokenToId("e\u0301"), 20);
  EXPECT_EQ(equivalent.convertIdToToken(5), std::nullopt);
  EXPECT_EQ(equivalent.convertIdToToken(6), std::nullopt);
  try {
    BertTokenizer(json("{}"), json(R"({"model": {"vocab": [["a", 0]]}})"), {});
    ADD_FAILURE() << "accepted a list vocabulary";
  } catch (const TokenizerError& e) {
    EXPECT_EQ(e.kind(), TokenizerError::Kind::missingVocab);
  }
}

}  // namespace
}  // namespace tokenizers
