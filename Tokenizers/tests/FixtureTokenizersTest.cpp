// The real tokenizer files of shared/fixtures: each loads, and tricky texts encode to the ids that
// the files' own vocabularies give and decode back. Expected ids are vocabulary lookups in the
// fixture (or the published anchor ids) and merges checked by hand against merges lists.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "Tokenizers/PreTrainedTokenizer.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/tests/TokenizerTestSupport.h"

namespace tokenizers {
namespace {

using testing::readConfig;
using testing::tokenizerFixture;

struct Loaded {
  hub::Config config;
  hub::Config data;
  std::shared_ptr<PreTrainedTokenizer> tokenizer;

  // The id of a vocabulary entry of model.vocab, by exact text.
  TokenId vocab(std::string_view token) const {
    const auto* dict = data["model"]["vocab"].dictionary();
    if (dict) {
      auto found = dict->find(hub::BinaryDistinctString(token));
      if (found != dict->end()) return *found->second.integer();
      ADD_FAILURE() << "not in the fixture's vocabulary: " << token;
      return -1;
    }
    const auto& list = *data["model"]["vocab"].array();  // Unigram: a list of [token, score]
    for (std::size_t i = 0; i < list.size(); ++i)
      if (list[i].element(0).string() == std::string(token)) return static_cast<TokenId>(i);
    ADD_FAILURE() << "not in the fixture's vocabulary: " << token;
    return -1;
  }
  std::vector<TokenId> vocab(const std::vector<std::string>& tokens) const {
    std::vector<TokenId> ids;
    for (const auto& t : tokens) ids.push_back(vocab(t));
    return ids;
  }
  // The id of an added token, from "added_tokens".
  TokenId added(std::string_view content) const {
    for (const auto& entry : *data["addedTokens"].array())
      if (entry["content"].string() == std::string(content)) return *entry["id"].integer();
    ADD_FAILURE() << "not an added token of the fixture: " << content;
    return -1;
  }
};

// Loads each fixture once per test binary.
const Loaded& load(const std::string& name, hub::Config configOverride = {}) {
  static std::map<std::string, Loaded> cache;
  auto found = cache.find(name);
  if (found != cache.end()) return found->second;
  Loaded l;
  auto folder = tokenizerFixture(name);
  l.data = readConfig(folder / "tokenizer.json");
  l.config = configOverride.isNull() ? readConfig(folder / "tokenizer_config.json") : configOverride;
  l.tokenizer = std::make_shared<PreTrainedTokenizer>(l.config, l.data, true);
  return cache.emplace(name, std::move(l)).first->second;
}

#define REQUIRE_TOKENIZER_FIXTURE(name) PARLET_REQUIRE_FIXTURE(tokenizerFixture(name) / "tokenizer.json")

// ---- GPT-2 -------------------------------------------------------------------------------------

TEST(GPT2FixtureTest, EncodesToVocabularyIds) {
  REQUIRE_TOKENIZER_FIXTURE("gpt2");
  const auto& g = load("gpt2");
  EXPECT_EQ(g.tokenizer->modelName(), "BPETokenizer");
  struct Case {
    std::string text;
    std::vector<std::string> tokens;
  };
  const std::vector<Case> cases = {
      {"Hello world", {"Hello", "Ġworld"}},
      {"Hello café", {"Hello", "ĠcafÃ©"}},          // é = C3 A9; "Ġ caf Ã ©" merges to one entry
      {"don't", {"don", "'t"}},                      // the contraction alternative
      {"a  b", {"a", "Ġ", "Ġb"}},                    // \s+(?!\S) leaves the last space to "b"
      {"\n\n", {"ĊĊ"}},
      {"😀", {"ðŁĺ", "Ģ"}},                           // F0 9F 98 80
      {"中文字", {"ä¸Ń", "æĸ", "ĩ", "åŃ", "Ĺ"}},
      {"Hello<|endoftext|>world", {"Hello", "<|endoftext|>", "world"}},
  };
  for (const auto& c : cases) {
    std::vector<TokenId> expected;
    for (const auto& t : c.tokens) expected.push_back(g.vocab(t));
    EXPECT_EQ(g.tokenizer->tokenize(c.text), c.tokens) << c.text;
    EXPECT_EQ(g.tokenizer->encode(c.text), expected) << c.text;
    EXPECT_EQ(g.tokenizer->decode(expected), c.text) << c.text;
  }
  EXPECT_EQ(g.tokenizer->encode("Hello world"), (std::vector<TokenId>{15496, 995}));
}

TEST(GPT2FixtureTest, RoundTripsTrickyText) {
  REQUIRE_TOKENIZER_FIXTURE("gpt2");
  const auto& g = load("gpt2");
  for (std::string text : {"Crème brûlée, naïve façade", "e\u0301 decomposed", "日本語のテキスト", "👩‍👩‍👧 family 🇫🇷",
                           "tabs\tand\r\nnewlines\n\n\n", "   leading and trailing   ", "<|endoftext|>",
                           "x<|endoftext|><|endoftext|>y", "\xEF\xBF\xBD replacement", ""}) {
    EXPECT_EQ(g.tokenizer->decode(g.tokenizer->encode(text)), text) << text;
  }
  EXPECT_EQ(g.tokenizer->eosTokenId(), 50256);
  EXPECT_EQ(g.tokenizer->decode({50256}, true), "");
}

// ---- Whisper (multilingual) --------------------------------------------------------------------

TEST(WhisperFixtureTest, SplitsTimestampTokensOutOfText) {
  REQUIRE_TOKENIZER_FIXTURE("whisper-tiny");
  const auto& w = load("whisper-tiny");
  EXPECT_EQ(w.tokenizer->modelName(), "BPETokenizer");
  EXPECT_EQ(w.tokenizer->addedTokens().size(), 1608u);
  const std::string text = "<|0.00|> Hello world<|1.00|><|1.00|> again<|30.00|>";
  const std::vector<TokenId> expected = {w.added("<|0.00|>"), w.vocab("ĠHello"), w.vocab("Ġworld"), w.added("<|1.00|>"),
                                         w.added("<|1.00|>"), w.vocab("Ġagain"), w.added("<|30.00|>")};
  EXPECT_EQ(expected.front(), 50364);
  EXPECT_EQ(expected.back(), 51864);
  EXPECT_EQ(w.tokenizer->encode(text, false), expected);
  EXPECT_EQ(w.tokenizer->decode(expected), text);
  // Timestamps are added but not special tokens in this file: skipping specials keeps them.
  EXPECT_EQ(w.tokenizer->decode(expected, true), text);
}

TEST(WhisperFixtureTest, PostProcessorFramesTheTranscript) {
  REQUIRE_TOKENIZER_FIXTURE("whisper-tiny");
  const auto& w = load("whisper-tiny");
  const auto ids = w.tokenizer->encode(" Hello");
  const std::vector<TokenId> expected = {50258, 50363, w.vocab("ĠHello"), 50257};
  EXPECT_EQ(ids, expected);
  EXPECT_EQ(w.tokenizer->decode(ids), "<|startoftranscript|><|notimestamps|> Hello<|endoftext|>");
  EXPECT_EQ(w.tokenizer->decode(ids, true), " Hello");
  EXPECT_EQ(w.tokenizer->convertTokenToId("<|en|>"), 50259);
  EXPECT_EQ(w.tokenizer->convertIdToToken(50359), "<|transcribe|>");
}

// The speech engine holds its tokenizer only through the interface.
TEST(WhisperFixtureTest, ServesThroughTheTokenizerInterface) {
  REQUIRE_TOKENIZER_FIXTURE("whisper-tiny");
  const auto& w = load("whisper-tiny");
  const Tokenizer& tokenizer = *w.tokenizer;
  const auto ids = tokenizer.encode(" Hello");
  EXPECT_EQ(ids, w.tokenizer->encode(" Hello", true));
  EXPECT_EQ(tokenizer.decode(ids), w.tokenizer->decode(ids, false));
  EXPECT_EQ(tokenizer(" Hello", false), (std::vector<TokenId>{w.vocab("ĠHello")}));
  EXPECT_EQ(tokenizer.convertTokenToId("<|notimestamps|>"), 50363);
  EXPECT_EQ(tokenizer.convertIdToToken(50364), "<|0.00|>");
  // An unknown text converts to the unknown id: unk_token is <|endoftext|> in this file.
  EXPECT_EQ(tokenizer.convertTokensToIds({"<|en|>", "<|xx|>"}),
            (std::vector<std::optional<TokenId>>{50259, w.added("<|endoftext|>")}));
  EXPECT_EQ(tokenizer.convertIdsToTokens({50257, 99999999}),
            (std::vector<std::optional<std::string>>{"<|endoftext|>", std::nullopt}));
  EXPECT_FALSE(tokenizer.hasChatTemplate());
}

TEST(WhisperFixtureTest, RoundTripsMultilingualText) {
  REQUIRE_TOKENIZER_FIXTURE("whisper-tiny");
  const auto& w = load("whisper-tiny");
  for (std::string text : {"<|startoftranscript|><|en|><|transcribe|> Hola, ¿qué tal?<|endoftext|>",
                           " 你好，世界。", " Привет мир", " 😀🎉", "  spaced   out  ", " Zürich<|2.50|>"}) {
    EXPECT_EQ(w.tokenizer->decode(w.tokenizer->encode(text, false)), text) << text;
  }
}

// The English-only Whisper vocabulary is GPT-2's vocab.json and merges.txt; its special tokens
// follow <|endoftext|> = 50256 and are added here the way the speech engine's files add them.
struct EnglishWhisper {
  hub::Config vocab;
  std::unique_ptr<PreTrainedTokenizer> tokenizer;
};

EnglishWhisper englishWhisper() {
  const auto folder = tokenizerFixture("whisper-en-gpt2-assets");
  hub::Config::Array merges;
  {
    std::istringstream lines(testing::readFile(folder / "merges.txt"));
    std::string line;
    while (std::getline(lines, line))
      if (!line.empty() && line[0] != '#') merges.emplace_back(line);
  }
  hub::Config::Array added;
  auto addToken = [&](const std::string& content, TokenId id, bool special) {
    added.push_back(hub::Config::dictionaryOf({{"id", hub::Config(static_cast<long long>(id))},
                                               {"content", hub::Config(content)},
                                               {"special", hub::Config(special)}}));
  };
  addToken("<|endoftext|>", 50256, true);
  addToken("<|startoftranscript|>", 50257, true);
  addToken("<|notimestamps|>", 50362, true);
  for (int i = 0; i <= 1500; ++i) {
    char text[32];
    std::snprintf(text, sizeof text, "<|%.2f|>", i * 0.02);
    addToken(text, 50363 + i, false);
  }
  EnglishWhisper en;
  en.vocab = readConfig(folder / "vocab.json");
  const hub::Config data = hub::Config::dictionaryOf({
      {"model", hub::Config::dictionaryOf({{"vocab", en.vocab}, {"merges", hub::Config(merges)}})},
      {"added_tokens", hub::Config(added)},
      {"pre_tokenizer", testing::json(R"({"type": "ByteLevel", "add_prefix_space": false})")},
      {"decoder", testing::json(R"({"type": "ByteLevel"})")},
  });
  en.tokenizer = std::make_unique<PreTrainedTokenizer>(readConfig(folder / "tokenizer_config.json"), data, true);
  return en;
}

TEST(WhisperEnglishFixtureTest, EncodesWithTimestampTokens) {
  PARLET_REQUIRE_FIXTURE(tokenizerFixture("whisper-en-gpt2-assets") / "vocab.json");
  const auto en = englishWhisper();
  auto id = [&](const char* token) { return *en.vocab[token].integer(); };
  const std::vector<TokenId> expected = {50363, id("ĠHello"), id("Ġworld"), 50363 + 50, 50256};
  EXPECT_EQ(expected[1], 18435);
  EXPECT_EQ(en.tokenizer->encode("<|0.00|> Hello world<|1.00|><|endoftext|>"), expected);
  EXPECT_EQ(en.tokenizer->decode(expected), "<|0.00|> Hello world<|1.00|><|endoftext|>");
  EXPECT_EQ(en.tokenizer->decode(expected, true), "<|0.00|> Hello world<|1.00|>");
}

// Ordinary text gets GPT-2's ids: the two files share vocabulary and merges.
TEST(WhisperEnglishFixtureTest, OrdinaryTextGetsGPT2Ids) {
  PARLET_REQUIRE_FIXTURE(tokenizerFixture("whisper-en-gpt2-assets") / "vocab.json");
  REQUIRE_TOKENIZER_FIXTURE("gpt2");
  const auto en = englishWhisper();
  const std::string text = " The quick brown fox, naïve café 😀 中文.";
  EXPECT_EQ(en.tokenizer->encode(text), load("gpt2").tokenizer->encode(text));
}

// ---- BERT --------------------------------------------------------------------------------------

hub::Config bertConfig() { return testing::json(R"({"tokenizer_class": "BertTokenizerFast", "do_lower_case": true})"); }

TEST(BertFixtureTest, EncodesWordPieces) {
  REQUIRE_TOKENIZER_FIXTURE("bert-base-uncased");
  const auto& b = load("bert-base-uncased", bertConfig());
  EXPECT_EQ(b.tokenizer->modelName(), "BertTokenizer");
  EXPECT_EQ(b.tokenizer->encode("Hello, World!"), (std::vector<TokenId>{101, 7592, 1010, 2088, 999, 102}));
  EXPECT_EQ(b.tokenizer->encode("Café", false), (std::vector<TokenId>{b.vocab("cafe")}));
  EXPECT_EQ(b.tokenizer->encode("hello [MASK] world"), (std::vector<TokenId>{101, 7592, 103, 2088, 102}));
  EXPECT_EQ(b.tokenizer->encode("😀", false), (std::vector<TokenId>{100}));
  // Longest prefixes that the vocabulary holds: "una", then "##ffa", then "##ble".
  EXPECT_EQ(b.tokenizer->tokenize("unaffable"), (std::vector<std::string>{"una", "##ffa", "##ble"}));
}

// Words split into code points, as the vocabulary's pieces are: Hangul syllables decompose into
// conjoining jamo, each a piece of its own. NUL, U+FFFD and control, format and private-use
// characters vanish in the normalizer instead of turning the word into [UNK]; unassigned code
// points and noncharacters stay, so their word is [UNK]; tab, line feed and carriage return
// separate words.
TEST(BertFixtureTest, TokenizesCodePointsOfCleanedText) {
  REQUIRE_TOKENIZER_FIXTURE("bert-base-uncased");
  const auto& b = load("bert-base-uncased", bertConfig());
  const struct {
    std::string text;
    std::vector<std::string> tokens;
  } cases[] = {
      {"한국어", {"\u1112", "##\u1161", "##\u11AB", "##\u1100", "##\u116E", "##\u11A8", "##\u110B", "##\u1165"}},
      {"a\u0001b", {"ab"}},
      {"a\u200Bb", {"ab"}},
      {"a\uFFFDb", {"ab"}},
      {"a\uE000b", {"ab"}},
      {"a\uF8FFb", {"ab"}},
      {"a\U000F0000b", {"ab"}},
      {"a\u0378b", {"[UNK]"}},
      {"a\uFFFEb", {"[UNK]"}},
      {"a\U0001FFFEb", {"[UNK]"}},
      {"a\U0010FFFFb", {"[UNK]"}},
      {std::string("a") + '\0' + "b", {"ab"}},
      {"a\tb\nc\rd", {"a", "b", "c", "d"}},
      {"\u05E9\u05C1", {"\u05E9"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(b.tokenizer->tokenize(c.text), c.tokens) << c.text;
    EXPECT_EQ(b.tokenizer->encode(c.text, false), b.vocab(c.tokens)) << c.text;
  }
  EXPECT_EQ(b.tokenizer->encode("a\uFFFDb", false), (std::vector<TokenId>{11113}));  // "ab"
  EXPECT_EQ(b.tokenizer->encode("a\u0378b", false), (std::vector<TokenId>{100}));
}

TEST(BertFixtureTest, DecodesToNormalizedText) {
  REQUIRE_TOKENIZER_FIXTURE("bert-base-uncased");
  const auto& b = load("bert-base-uncased", bertConfig());
  EXPECT_EQ(b.tokenizer->decode(b.tokenizer->encode("Hello,   World! It's  naïve."), true), "hello, world! it's naive.");
  EXPECT_EQ(b.tokenizer->decode(b.tokenizer->encode("Hi")), "[CLS] hi [SEP]");
}

// ---- T5 (Unigram) ------------------------------------------------------------------------------

TEST(T5FixtureTest, EncodesBestScoringPieces) {
  REQUIRE_TOKENIZER_FIXTURE("t5-small");
  const auto& t = load("t5-small");
  EXPECT_EQ(t.tokenizer->modelName(), "T5Tokenizer");
  EXPECT_EQ(t.tokenizer->encode("Hello world"), (std::vector<TokenId>{8774, t.vocab("▁world"), 1}));
  EXPECT_EQ(t.tokenizer->encode("Hello world", false), (std::vector<TokenId>{8774, 296}));
  // Unknown ideographs: one <unk> for the run (fused), after the lone "▁".
  EXPECT_EQ(t.tokenizer->encode("你好", false), (std::vector<TokenId>{t.vocab("▁"), 2}));
}

// A combining mark with no composed form is a character of its own: "x" stays a piece and only
// the mark is unknown.
TEST(T5FixtureTest, TokenizesCodePoints) {
  REQUIRE_TOKENIZER_FIXTURE("t5-small");
  const auto& t = load("t5-small");
  EXPECT_EQ(t.tokenizer->encode("x\u0301", false), (std::vector<TokenId>{t.vocab("▁"), t.vocab("x"), 2}));
  EXPECT_EQ(t.tokenizer->encode(""), (std::vector<TokenId>{t.added("</s>")}));
}

TEST(T5FixtureTest, RoundTripsCoveredText) {
  REQUIRE_TOKENIZER_FIXTURE("t5-small");
  const auto& t = load("t5-small");
  for (std::string text : {"Hello world", "Café crème", "The year 2024, isn't it?"})
    EXPECT_EQ(t.tokenizer->decode(t.tokenizer->encode(text), true), text) << text;
  // Whitespace runs collapse in the whitespace split; fullwidth letters fold under NFKC.
  EXPECT_EQ(t.tokenizer->decode(t.tokenizer->encode("a \t  b\n"), true), "a b");
  EXPECT_EQ(t.tokenizer->decode(t.tokenizer->encode("ｆｕｌｌ"), true), "full");
  EXPECT_EQ(t.tokenizer->decode(t.tokenizer->encode("Hi <extra_id_0> there")), "Hi<extra_id_0> there</s>");
}

// ---- Phi-3 (Llama-style BPE with byte fallback) --------------------------------------------------

TEST(Phi3FixtureTest, EncodesWithByteFallbackAndAddedTokens) {
  REQUIRE_TOKENIZER_FIXTURE("phi-3-mini");
  const auto& p = load("phi-3-mini");
  EXPECT_EQ(p.tokenizer->encode("Hello world"), (std::vector<TokenId>{15043, 3186}));
  // No entry for the emoji: its four UTF-8 bytes.
  EXPECT_EQ(p.tokenizer->encode("😀"), (std::vector<TokenId>{p.vocab("▁"), p.vocab("<0xF0>"), p.vocab("<0x9F>"),
                                                               p.vocab("<0x98>"), p.vocab("<0x80>")}));
  // rstrip absorbs the line feed after <|user|> and <|end|>; every section gets the "▁" prefix.
  EXPECT_EQ(p.tokenizer->encode("<|user|>\nHi<|end|>\n"), (std::vector<TokenId>{32010, p.vocab("▁Hi"), 32007}));
}

// Merges and byte fallback work on code points: a carriage return before a line feed is the "\r"
// token, a combining accent, a joiner and Devanagari signs are tokens of their own. Merges compare
// exact text: a character whose canonical decomposition is another single character (Angstrom
// sign, Kelvin sign, Greek question mark, Greek ano teleia) does not merge with "▁" as its
// equivalent does; "▁" keeps its id and only the character falls back to bytes.
TEST(Phi3FixtureTest, TokenizesCodePoints) {
  REQUIRE_TOKENIZER_FIXTURE("phi-3-mini");
  const auto& p = load("phi-3-mini");
  const std::vector<std::string> woman = {"<0xF0>", "<0x9F>", "<0x91>", "<0xA9>"};
  std::vector<std::string> family = {"▁"};
  for (const auto& t : woman) family.push_back(t);
  family.push_back("\u200D");
  for (const auto& t : woman) family.push_back(t);
  family.insert(family.end(), {"\u200D", "<0xF0>", "<0x9F>", "<0x91>", "<0xA7>"});
  const struct {
    std::string text;
    std::vector<std::string> tokens;
  } cases[] = {
      {"a\r\nb", {"▁a", "\r", "<0x0A>", "b"}},
      {"\r\n", {"▁\r", "<0x0A>"}},
      {"e\u0301", {"▁e", "\u0301"}},
      {"👩\u200D👩\u200D👧", family},
      {"नमस्ते", {"▁", "न", "म", "स", "्", "त", "े"}},
      {"\u212B", {"▁", "<0xE2>", "<0x84>", "<0xAB>"}},
      {"\u212A", {"▁", "<0xE2>", "<0x84>", "<0xAA>"}},
      {"\u037E", {"▁", "<0xCD>", "<0xBE>"}},
      {"\u0387", {"▁", "<0xCE>", "<0x87>"}},
      {"\u00C5 \u212B", {"▁\u00C5", "▁", "<0xE2>", "<0x84>", "<0xAB>"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(p.tokenizer->tokenize(c.text), c.tokens) << c.text;
    EXPECT_EQ(p.tokenizer->encode(c.text), p.vocab(c.tokens)) << c.text;
  }
  EXPECT_EQ(p.vocab("\r"), 30004);
  // Empty text has no tokens: no lone "▁" from the prefix.
  EXPECT_EQ(p.tokenizer->encode(""), std::vector<TokenId>{});
}

TEST(Phi3FixtureTest, RoundTripsTrickyText) {
  REQUIRE_TOKENIZER_FIXTURE("phi-3-mini");
  const auto& p = load("phi-3-mini");
  for (std::string text : {"Hello world", "Crème brûlée", "中文 text", "😀 emoji", "a   b\n\nc", "tab\there"})
    EXPECT_EQ(p.tokenizer->decode(p.tokenizer->encode(text)), text) << text;
}

// ---- RoBERTa -----------------------------------------------------------------------------------

hub::Config robertaConfig() { return testing::json(R"({"tokenizer_class": "RobertaTokenizer", "model_max_length": 512})"); }

TEST(RobertaFixtureTest, AddsClassAndSeparatorTokens) {
  REQUIRE_TOKENIZER_FIXTURE("roberta-base");
  const auto& r = load("roberta-base", robertaConfig());
  EXPECT_EQ(r.tokenizer->encode("Hello world"), (std::vector<TokenId>{0, 31414, 232, 2}));
  // Without special tokens asked for, no <s> and </s>.
  const std::vector<TokenId> plain = {r.vocab("Hello"), r.vocab(","), r.vocab("Ġworld"), r.vocab("!")};
  EXPECT_EQ(plain, (std::vector<TokenId>{31414, 6, 232, 328}));
  EXPECT_EQ(r.tokenizer->encode("Hello, world!", false), plain);
  EXPECT_EQ(r.tokenizer->encode("", false), std::vector<TokenId>{});
  // <mask> has lstrip: the blank before it goes.
  EXPECT_EQ(r.tokenizer->encode("Hello <mask>!"), (std::vector<TokenId>{0, 31414, 50264, r.vocab("!"), 2}));
  EXPECT_EQ(r.tokenizer->decode(r.tokenizer->encode("Hello café 😀"), true), "Hello café 😀");
}

TEST(FixtureLoadingTest, RobertaConfigWithoutClassIsRejected) {
  REQUIRE_TOKENIZER_FIXTURE("roberta-base");
  const auto folder = tokenizerFixture("roberta-base");
  try {
    PreTrainedTokenizer t(readConfig(folder / "tokenizer_config.json"), readConfig(folder / "tokenizer.json"), true);
    FAIL() << "expected missingTokenizerClassInConfig";
  } catch (const TokenizerError& e) {
    EXPECT_EQ(e.kind(), TokenizerError::Kind::missingTokenizerClassInConfig);
  }
}

}  // namespace
}  // namespace tokenizers
