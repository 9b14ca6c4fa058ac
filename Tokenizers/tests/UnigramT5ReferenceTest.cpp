// The Unigram model against a plain reference kept here: every vocabulary text found by substring
// lookups, the lattice as lists of nodes by start and end, and the Viterbi pass visiting each
// (end node, begin node) pair with the same float sums and the same tie rule. Checked on the T5
// vocabulary over a varied corpus and on small random vocabularies whose scores tie often. The
// whole T5 encoding of the corpus is pinned by ids recorded before the model was rewritten.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Tokenizers/PreTrainedTokenizer.h"
#include "Tokenizers/UnigramTokenizer.h"
#include "Tokenizers/tests/TokenizerTestSupport.h"

namespace tokenizers {
namespace {

using testing::json;
using testing::readConfig;
using testing::tokenizerFixture;
using Tokens = std::vector<std::string>;

// Scalars by their lead byte, the last one cut at the end of the text.
std::vector<std::string> referenceScalars(const std::string& text) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    n = std::min(n, text.size() - i);
    out.push_back(text.substr(i, n));
    i += n;
  }
  return out;
}

class ReferenceUnigram {
 public:
  ReferenceUnigram(std::vector<std::pair<std::string, float>> vocab, int unkId) : vocab_(std::move(vocab)), unkId_(unkId) {
    float minScore = 999;
    for (const auto& [token, score] : vocab_) {
      if (score < minScore) minScore = score;
      for (std::size_t n = 1; n <= token.size(); ++n) prefixes_.insert(token.substr(0, n));
    }
    unkScore_ = minScore - 10;
    for (std::size_t i = 0; i < vocab_.size(); ++i) ids_.emplace(vocab_[i].first, static_cast<int>(i));
  }

  Tokens tokenize(const std::string& text) const {
    const auto chars = referenceScalars(text);
    const std::size_t n = chars.size();
    struct Node {
      std::size_t start, length;
      float score;
      int prev = -1;
      float backtrace = 0;
    };
    std::vector<Node> nodes{{0, 0, 0}, {n, 0, 0}};
    std::vector<std::vector<int>> begins(n + 1), ends(n + 1);
    begins[n].push_back(1);
    ends[0].push_back(0);
    auto insert = [&](std::size_t start, std::size_t length, float score) {
      nodes.push_back({start, length, score});
      begins[start].push_back(static_cast<int>(nodes.size() - 1));
      ends[start + length].push_back(static_cast<int>(nodes.size() - 1));
    };
    for (std::size_t p = 0; p < n; ++p) {
      bool hasSingle = false;
      std::string candidate;
      for (std::size_t length = 1; p + length <= n; ++length) {
        candidate += chars[p + length - 1];
        if (!prefixes_.count(candidate)) break;
        auto found = ids_.find(candidate);
        if (found == ids_.end()) continue;
        insert(p, length, vocab_[static_cast<std::size_t>(found->second)].second);
        if (length == 1) hasSingle = true;
      }
      if (!hasSingle) insert(p, 1, unkScore_);
    }
    for (std::size_t p = 0; p <= n; ++p) {
      for (int r : begins[p]) {
        int best = -1;
        float bestScore = 0;
        for (int l : ends[p]) {
          const float s = nodes[static_cast<std::size_t>(l)].backtrace + nodes[static_cast<std::size_t>(r)].score;
          if (best < 0 || s > bestScore) best = l, bestScore = s;
        }
        nodes[static_cast<std::size_t>(r)].prev = best;
        if (best >= 0) nodes[static_cast<std::size_t>(r)].backtrace = bestScore;
      }
    }
    Tokens path;
    int node = nodes[1].prev;
    while (node >= 0 && nodes[static_cast<std::size_t>(node)].prev >= 0) {
      const Node& x = nodes[static_cast<std::size_t>(node)];
      std::string piece;
      for (std::size_t i = x.start; i < x.start + x.length; ++i) piece += chars[i];
      path.push_back(piece);
      node = x.prev;
    }
    return Tokens(path.rbegin(), path.rend());
  }

 private:
  std::vector<std::pair<std::string, float>> vocab_;
  int unkId_;
  float unkScore_ = 0;
  std::map<std::string, int> ids_;  // the first position of a text listed twice
  std::set<std::string> prefixes_;
};

std::vector<std::pair<std::string, float>> vocabularyOf(const hub::Config& data) {
  std::vector<std::pair<std::string, float>> vocab;
  for (const auto& entry : *data["model"]["vocab"].array())
    vocab.emplace_back(*entry.array()->front().string(), *entry.array()->back().floating());
  return vocab;
}

std::string repeat(std::string_view s, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += s;
  return out;
}

// Prose from a fixed generator: capitals, commas, numbers, contractions, paragraph breaks.
std::string prose(std::size_t bytes) {
  static const char* const kWords[] = {"the", "of", "and", "to", "in", "a", "is", "that", "for", "government",
                                       "understanding", "beautiful", "language", "however", "remarkable",
                                       "dictation", "microphone", "didn't", "it's", "we'll", "they're",
                                       "something", "everything", "already", "question", "morning"};
  std::mt19937 random(7);
  std::string out;
  while (out.size() < bytes) {
    const std::size_t length = 4 + random() % 14;
    for (std::size_t i = 0; i < length; ++i) {
      std::string word = kWords[random() % std::size(kWords)];
      if (i == 0) word[0] = static_cast<char>(word[0] - 'a' + 'A');
      out += word;
      if (random() % 23 == 0) out += " " + std::to_string(random() % 5000);
      if (i + 1 < length) out += random() % 9 == 0 ? ", " : " ";
    }
    out += random() % 5 == 0 ? "?" : ".";
    out += random() % 7 == 0 ? "\n\n" : " ";
  }
  return out;
}

struct CorpusText {
  const char* name;
  std::string text;
};

std::vector<CorpusText> corpus() {
  return {
      {"prose", prose(20000)},
      {"numbers", "3.14159 2,000,000 1e-10 0x1F 123456789012345678901234567890 -42 +7 ½ ² 1st 2nd 3rd 10:30pm"},
      {"punctuation", "Hello!!! What?! (yes) [no] {maybe} <tag> \"quoted\" 'single' \u2014 \u2013 \u2026 ; : @#$%^&*_+=|\\/~`"},
      {"latin", "Gr\u00FC\u00DFe aus K\u00F6ln, Stra\u00DFe. \u00C7a va? O\u00F9 est l'h\u00F4tel? No\u00EBl. Ti\u1EBFng Vi\u1EC7t c\u00F3 d\u1EA5u."},
      {"cyrillic and greek", "\u041F\u0440\u0438\u0432\u0435\u0442, \u043C\u0438\u0440! \u0421\u044A\u0435\u0448\u044C "
                             "\u0436\u0435 \u0435\u0449\u0451. \u039A\u03B1\u03BB\u03B7\u03BC\u03AD\u03C1\u03B1 "
                             "\u03BA\u03CC\u03C3\u03BC\u03B5"},
      {"cjk", "\u4F60\u597D\uFF0C\u4E16\u754C\u3002\u4ECA\u5929\u5929\u6C14\u5F88\u597D\u3002 "
              "\u3053\u3093\u306B\u3061\u306F\u4E16\u754C\u3001\u30AB\u30BF\u30AB\u30CA "
              "\uC548\uB155\uD558\uC138\uC694 \uC138\uACC4"},
      {"rtl and indic", "\u0645\u0631\u062D\u0628\u0627 \u0628\u0627\u0644\u0639\u0627\u0644\u0645 "
                        "\u05E9\u05DC\u05D5\u05DD \u05E2\u05D5\u05DC\u05DD \u0928\u092E\u0938\u094D\u0924\u0947 "
                        "\u0E2A\u0E27\u0E31\u0E2A\u0E14\u0E35"},
      {"emoji", "I \u2764\uFE0F NY \U0001F44D\U0001F3FD \U0001F468\u200D\U0001F469\u200D\U0001F467 "
                "\U0001F1E9\U0001F1EA \U0001F389\U0001F389\U0001F389 \u2615 a\U0001F600b"},
      {"unknown characters", "{a} ~x~ \u0378 \uE000 \U0010FFFD e\u0301\u0302\u0303 \u0001\u0007 x\u200By "
                             "a\u00A0b \uFF5E tilde\uFF5Ewide \u2581 lower\u2581bar \uFEFF \uFFFD"},
      {"compatibility forms", "\uFB01 \uFB00 \u338F \u2460 \u216B \uFF46\uFF55\uFF4C\uFF4C \u00BD \u2122 \u3000gap"},
      {"whitespace", "  leading and trailing  \t tab\nnew\r\nline \u2028 sep \u3000 ideographic\f\v."},
      {"added tokens", "<extra_id_0> hello <extra_id_99> </s>world<pad><unk>"},
      {"long word", repeat("supercalifragilistic", 300)},
      {"long run of one letter", std::string(5000, 'a')},
      {"long digits", repeat("0123456789", 400)},
      {"long punctuation", std::string(1500, '.') + repeat("!?", 500)},
      {"long unknown run", repeat("\u4E16\u754C", 800) + "abc" + repeat("{}", 300)},
      {"long metaspace run", repeat("\u2581", 700) + "x" + repeat("\u2581a", 300)},
  };
}

class UnigramT5ReferenceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const auto folder = tokenizerFixture("t5-small");
    if (!std::filesystem::exists(folder / "tokenizer.json")) return;
    const auto data = readConfig(folder / "tokenizer.json");
    tokenizer_ = std::make_shared<PreTrainedTokenizer>(readConfig(folder / "tokenizer_config.json"), data, true);
    reference_ = std::make_shared<ReferenceUnigram>(vocabularyOf(data), 2);
  }
  void SetUp() override {
    if (!tokenizer_) GTEST_SKIP() << "t5-small fixture absent (shared/fixtures not beside the project)";
  }
  static std::shared_ptr<PreTrainedTokenizer> tokenizer_;
  static std::shared_ptr<ReferenceUnigram> reference_;
};
std::shared_ptr<PreTrainedTokenizer> UnigramT5ReferenceTest::tokenizer_;
std::shared_ptr<ReferenceUnigram> UnigramT5ReferenceTest::reference_;

// Each piece of the front end, and each whole normalized text as one piece (spaces, long lattices).
TEST_F(UnigramT5ReferenceTest, PiecesTokenizeAsTheReferenceLattice) {
  const TokenizingModel& model = tokenizer_->model();
  for (const auto& c : corpus()) {
    const std::string normalized = tokenizer_->normalize(c.text);
    for (const auto& piece : tokenizer_->preTokenize(normalized, {PreTokenizerOption::firstSection}))
      ASSERT_EQ(model.tokenize(piece), reference_->tokenize(piece)) << c.name << ": " << piece;
    ASSERT_EQ(model.tokenize(normalized), reference_->tokenize(normalized)) << c.name;
    ASSERT_EQ(model.tokenize(c.text), reference_->tokenize(c.text)) << c.name;
  }
}

// A piece above the size whose lattice buffers a thread keeps, then short ones again.
TEST_F(UnigramT5ReferenceTest, LongPieceTokenizesAsTheReferenceLattice) {
  const TokenizingModel& model = tokenizer_->model();
  std::string piece = prose(80000);
  for (char& ch : piece)
    if (ch == ' ') ch = '_';
  ASSERT_GT(piece.size(), std::size_t{1} << 16);
  ASSERT_EQ(model.tokenize(piece), reference_->tokenize(piece));
  for (const char* shortPiece : {"\u2581Hello", "\u2581world!", "x"})
    ASSERT_EQ(model.tokenize(shortPiece), reference_->tokenize(shortPiece)) << shortPiece;
}

// Small vocabularies over a few scalars (two-, three- and four-byte ones sharing lead bytes, a
// combining mark) with scores drawn so that totals tie often, some only after float rounding, plus
// repeated texts, the empty text and non-finite scores; texts include scalars of no token and
// sequences cut after a lead byte.
TEST(UnigramReferenceTest, RandomVocabulariesTokenizeAsTheReferenceLattice) {
  const std::vector<std::string> alphabet = {"a", "b", "c", " ", "\u00E9", "\u00E8", "\u00DF", "\u0301", "\u20AC",
                                             "\u20AD", "\U0001F600", "\U0001F601"};
  const std::vector<std::string> strays = {"z", "\u4E16", "\xC3", "\xE2\x82", "\xF0"};
  const char* const scores[] = {"-1", "-2", "-3", "-0.5", "-1.5", "-2.5", "-4", "0", "-30000000", "-30000002",
                                "-29999998", "-16777216", "-16777217", "-1e-8", "NaN", "-Infinity", "Infinity"};
  std::mt19937 random(2024);
  for (int round = 0; round < 400; ++round) {
    std::vector<std::pair<std::string, float>> vocab;
    std::string document = "[";
    const int size = 2 + static_cast<int>(random() % 40);
    const int unkId = static_cast<int>(random() % static_cast<unsigned>(size));
    for (int i = 0; i < size; ++i) {
      std::string token;
      if (i == unkId) {
        token = "<unk>";
      } else if (random() % 25 == 0 && !vocab.empty()) {
        token = vocab[random() % vocab.size()].first;
      } else if (random() % 60 != 0) {
        const std::size_t length = 1 + random() % (random() % 3 == 0 ? 6 : 2);
        for (std::size_t k = 0; k < length; ++k) token += alphabet[random() % alphabet.size()];
      }
      const bool wild = random() % 8 == 0;
      const std::string score = wild ? scores[random() % std::size(scores)]
                                     : scores[random() % 8];
      auto entry = json("[" + score + "]");
      vocab.emplace_back(token, static_cast<float>(*entry.array()->front().floating()));
      std::string quoted;
      for (char ch : token) quoted += ch == '"' ? std::string("\\\"") : std::string(1, ch);
      document += (i ? ", [\"" : "[\"") + quoted + "\", " + score + "]";
    }
    document += "]";
    const UnigramTokenizer model(json("{}"), json(R"({"model": {"vocab": )" + document + R"(, "unk_id": )" +
                                                  std::to_string(unkId) + "}}"),
                                 {});
    const ReferenceUnigram reference(vocab, unkId);
    for (int t = 0; t < 25; ++t) {
      std::string text;
      const std::size_t length = random() % 30;
      for (std::size_t k = 0; k < length; ++k)
        text += random() % 12 == 0 ? strays[random() % strays.size()] : alphabet[random() % alphabet.size()];
      ASSERT_EQ(model.tokenize(text), reference.tokenize(text)) << document << "\n" << text;
    }
  }
}

TEST_F(UnigramT5ReferenceTest, RunOfOverAMillionLettersRoundTrips) {
  std::string text = repeat("abcdefghij", 120000);
  EXPECT_EQ(tokenizer_->decode(tokenizer_->encode(text), true), text);
}

std::uint64_t fnv1a(const std::vector<TokenId>& ids) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (TokenId id : ids)
    for (int shift = 0; shift < 32; shift += 8) h = (h ^ ((static_cast<std::uint64_t>(id) >> shift) & 0xFF)) * 0x100000001b3ull;
  return h;
}

// Ids of encode(text) and encode(text, false) as recorded before the lattice moved to byte positions:
// their count (with the closing </s>) and an FNV-1a hash over each id's four bytes, low byte first.
TEST_F(UnigramT5ReferenceTest, EncodingKeepsTheRecordedIds) {
  const struct {
    const char* name;
    std::size_t count;
    std::uint64_t withSpecialTokens, withoutSpecialTokens;
  } recorded[] = {
      {"prose", 4462, 0xe83a0ef3e4f4b8a9ull, 0x7088e62c2a01a698ull},
      {"numbers", 48, 0xabef4e903c45e1d0ull, 0xb5483c8339d7ecd1ull},
      {"punctuation", 54, 0x9a51fea996ca3307ull, 0x7dc0eb2e07bb2216ull},
      {"latin", 42, 0xe0498f9518f1331full, 0x2e2eef3938b68caeull},
      {"cyrillic and greek", 26, 0x385c683c50d91089ull, 0xbbeed9d5a77bf078ull},
      {"cjk", 11, 0xca2f872d583a4380ull, 0xaa0f114ad205cb81ull},
      {"rtl and indic", 13, 0xffa0a0a59662d984ull, 0xf0078158883e1345ull},
      {"emoji", 23, 0xcf264d1f96524c2full, 0xbb53a7b0824edcbeull},
      {"unknown characters", 36, 0x0c86ca3fb784b4b5ull, 0x07c46b03366217e4ull},
      {"compatibility forms", 18, 0xe668255ba895886eull, 0xcd823627918ff08full},
      {"whitespace", 15, 0x41a220a7551c1dcaull, 0xb434238a0ae74e2bull},
      {"added tokens", 8, 0x50a16f598349e180ull, 0x0d4a65f987628981ull},
      {"long word", 1501, 0x58e37d0d44c4602cull, 0x7f94e93824c1236dull},
      {"long run of one letter", 5002, 0x37ef90f23971b7b7ull, 0x180465134a0773c6ull},
      {"long digits", 2001, 0xd145a4ff3d5b2000ull, 0x37545353b1b92001ull},
      {"long punctuation", 598, 0x34dd3b584fbea8baull, 0xb0c2ae3caf7a621bull},
      {"long unknown run", 7, 0xc0fd4c0e3aa94326ull, 0xafde719062643bc7ull},
      {"long metaspace run", 603, 0xe0548344192e47b5ull, 0xd4a5abd14907fae4ull},
  };
  const auto texts = corpus();
  ASSERT_EQ(texts.size(), std::size(recorded));
  for (std::size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(texts[i].name, std::string(recorded[i].name));
    const auto ids = tokenizer_->encode(texts[i].text);
    EXPECT_EQ(ids.size(), recorded[i].count) << texts[i].name;
    EXPECT_EQ(fnv1a(ids), recorded[i].withSpecialTokens) << texts[i].name;
    EXPECT_EQ(fnv1a(tokenizer_->encode(texts[i].text, false)), recorded[i].withoutSpecialTokens) << texts[i].name;
  }
}

}  // namespace
}  // namespace tokenizers
