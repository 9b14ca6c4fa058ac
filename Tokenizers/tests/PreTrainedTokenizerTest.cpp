#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>

#include "KestrumCore/Logging.h"
#include "Tokenizers/PreTrainedTokenizer.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/tests/TokenizerTestSupport.h"
#include "platform/Text/Unicode.h"

namespace tokenizers {
namespace {

using testing::json;
using Ids = std::vector<TokenId>;
using Tokens = std::vector<std::string>;

// A character-level BPE: one id per letter, no merges, unknown pieces fall back to bytes.
constexpr const char* kCharacterModel =
    R"("model": {"vocab": {"a": 0, "b": 1, "c": 2, " ": 3, "<unk>": 4, "<sep>": 5, "<mask>": 6, "▁": 7, ",": 8,
                            ".": 9, "'": 10, "s": 11, "n": 12, "t": 13}, "merges": []})";

PreTrainedTokenizer tokenizer(const std::string& stages, const std::string& config = R"({"tokenizer_class": "GPT2Tokenizer"})",
                              bool strict = true) {
  return PreTrainedTokenizer(json(config), json(std::string("{") + kCharacterModel + (stages.empty() ? "" : ", ") + stages + "}"),
                             strict);
}

TEST(TokenizerModelTest, KnownTokenizers) {
  const auto& known = TokenizerModel::knownTokenizers();
  EXPECT_EQ(known.size(), 18u);
  EXPECT_EQ(known.count("GPT2TokenizerFast"), 0u);
  EXPECT_EQ(known.count("bertTokenizer"), 0u);
  const struct {
    const char* name;
    std::string_view model;
  } cases[] = {{"GPT2Tokenizer", "BPETokenizer"},        {"BertTokenizer", "BertTokenizer"},
               {"DistilbertTokenizer", "BertTokenizer"}, {"DistilBertTokenizer", "BertTokenizer"},
               {"T5Tokenizer", "T5Tokenizer"},           {"XLMRobertaTokenizer", "UnigramTokenizer"},
               {"Xlm-RobertaTokenizer", "UnigramTokenizer"}, {"WhisperTokenizer", "BPETokenizer"},
               {"LlamaTokenizer", "BPETokenizer"},       {"PreTrainedTokenizer", "BPETokenizer"}};
  for (const auto& c : cases) EXPECT_EQ(known.at(c.name).name, c.model) << c.name;
}

TEST(TokenizerErrorTest, Descriptions) {
  EXPECT_STREQ(TokenizerError::unsupportedTokenizer("Foo").what(), "The tokenizer type 'Foo' is not supported.");
  EXPECT_STREQ(TokenizerError::chatTemplate("x").what(), "Chat template error: x");
  EXPECT_STREQ(TokenizerError::tooLong("x").what(), "Input is too long: x");
  EXPECT_STREQ(TokenizerError::mismatchedConfig("x").what(), "Tokenizer configuration mismatch: x");
  EXPECT_STREQ(TokenizerError::missingConfig().what(), "Tokenizer configuration is missing.");
  EXPECT_STREQ(TokenizerError::missingTokenizerClassInConfig().what(),
               "The tokenizer class is not specified in the configuration.");
  EXPECT_STREQ(TokenizerError::missingVocab().what(), "Vocabulary file is missing from the tokenizer configuration.");
  EXPECT_STREQ(TokenizerError::malformedVocab().what(), "The vocabulary file is malformed or corrupted.");
  EXPECT_STREQ(TokenizerError::missingChatTemplate().what(),
               "This tokenizer does not have a chat template, and no template was passed.");
}

TEST(PreTrainedTokenizerTest, AddedTokenPatternPutsLongerTokensFirst) {
  auto t = tokenizer(R"("added_tokens": [
      {"id": 5, "content": "<a>", "lstrip": true},
      {"id": 6, "content": "<abc>", "rstrip": true},
      {"id": 7, "content": "<b>"},
      {"id": "8", "content": "a|b."},
      {"id": 9, "content": "<s>", "special": true}])");
  EXPECT_EQ(t.addedTokensPattern(), "(<abc>)\\s*|(a\\|b\\.)|\\s*(<a>)|(<b>)|(<s>)");
  EXPECT_EQ(t.addedTokens(), (std::unordered_set<std::string>{"<a>", "<abc>", "<b>", "<s>"}));
  EXPECT_EQ(t.specialTokens(), (std::unordered_map<std::string, TokenId>{{"<s>", 9}}));
  // The id-less entry still splits text, literally; its text then goes through the model.
  EXPECT_EQ(t.tokenize("ca|b.c"), (Tokens{"c", "a", "<0x7C>", "b", ".", "c"}));
  EXPECT_EQ(t.tokenize("ab"), (Tokens{"a", "b"}));
  // lstrip and rstrip absorb blanks; the blanks between <a> and <abc> reach the model, whose
  // merged symbols lose every space.
  EXPECT_EQ(t.tokenize("c  <a>  <abc>  b"), (Tokens{"c", "<a>", "<abc>", "b"}));
}

// An added token without text never matches: it cannot cut every position of a text into
// empty sections of its own.
TEST(PreTrainedTokenizerTest, EmptyAddedTokenNeverMatches) {
  auto t = tokenizer(R"("added_tokens": [{"id": 5, "content": "", "lstrip": true}, {"id": 6, "content": "<sep>"}])");
  EXPECT_EQ(t.tokenize("ab<sep>c"), (Tokens{"a", "b", "<sep>", "c"}));
  EXPECT_EQ(t.encode("ab"), (Ids{0, 1}));
  EXPECT_EQ(t.addedTokensPattern(), "(<sep>)");
}

// A normalizer that would grow a section past its bound fails the call with tooLong; the
// tokenizer stays usable for the texts it can normalize.
TEST(PreTrainedTokenizerTest, NormalizerPastItsBoundFailsTheCall) {
  auto t = tokenizer(R"("normalizer": {"type": "Replace", "pattern": {"String": "c"}, "content": ")" + std::string(5000, 'a') +
                     R"("}, "added_tokens": [{"id": 5, "content": "<sep>"}])");
  EXPECT_EQ(t.encode("ab<sep>b"), (Ids{0, 1, 5, 1}));
  try {
    t.encode("abc");
    ADD_FAILURE() << "normalized past the bound";
  } catch (const TokenizerError& e) {
    EXPECT_EQ(e.kind(), TokenizerError::Kind::tooLong);
    EXPECT_EQ(std::string(e.what()), "Input is too long: normalizing a section would give more than 4144 bytes; a "
                                     "normalizer's output is bounded by 16 times its input plus 4 KiB");
  }
}

// Routes the process-wide log into a list at level info while it lives; restores it however the
// test ends.
class CapturedLog {
 public:
  CapturedLog() : level_(kestrum::Logging::shared().logLevel()), previous_(kestrum::Logging::shared().loggingCallback()) {
    kestrum::Logging::shared().setLogLevel(kestrum::Logging::LogLevel::info);
    kestrum::Logging::shared().setLoggingCallback([lines = lines_, mutex = mutex_](const std::string& line) {
      std::lock_guard lock(*mutex);
      lines->push_back(line);
    });
  }
  ~CapturedLog() {
    kestrum::Logging::shared().setLoggingCallback(previous_);
    kestrum::Logging::shared().setLogLevel(level_);
  }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;
  std::vector<std::string> lines() const {
    std::lock_guard lock(*mutex_);
    return *lines_;
  }

 private:
  std::shared_ptr<std::vector<std::string>> lines_ = std::make_shared<std::vector<std::string>>();
  std::shared_ptr<std::mutex> mutex_ = std::make_shared<std::mutex>();
  kestrum::Logging::LogLevel level_;
  kestrum::Logging::Callback previous_;
};

TEST(PreTrainedTokenizerTest, ChoosesTheModelByClassName) {
  EXPECT_EQ(tokenizer("", R"({"tokenizer_class": "GPT2TokenizerFast"})").modelName(), "BPETokenizer");
  try {
    tokenizer("", R"({"tokenizer_class": "FooTokenizerFast"})");
    ADD_FAILURE() << "accepted an unknown class";
  } catch (const TokenizerError& e) {
    EXPECT_EQ(e.kind(), TokenizerError::Kind::unsupportedTokenizer);
    EXPECT_EQ(e.payload(), "FooTokenizer");
  }
  std::vector<std::string> logged;
  {
    CapturedLog log;
    ::testing::internal::CaptureStdout();
    auto lenient = tokenizer("", R"({"tokenizer_class": "FooTokenizerFast"})", false);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");  // a library writes to the log, not to the terminal
    EXPECT_EQ(lenient.modelName(), "BPETokenizer");
    logged = log.lines();
  }
  EXPECT_EQ(logged, std::vector<std::string>{"Warning: Tokenizer model class FooTokenizer is not registered, "
                                             "falling back to a standard BPE implementation."});
  try {
    tokenizer("", R"({"bos_token": "<s>"})");
    ADD_FAILURE() << "accepted a configuration without a class";
  } catch (const TokenizerError& e) {
    EXPECT_EQ(e.kind(), TokenizerError::Kind::missingTokenizerClassInConfig);
  }
}

TEST(PreTrainedTokenizerTest, BrokenFilesAreErrors) {
  const struct {
    std::string data;
    std::string message;
  } cases[] = {
      {R"({})", "Tokenizer configuration mismatch: BPETokenizer requires merges"},
      {R"({"model": {"vocab": {"a": 0}, "merges": {"a b": 0}}})", "Tokenizer configuration mismatch: BPETokenizer requires merges"},
      {R"({"model": {"vocab": null, "merges": []}})", "Vocabulary file is missing from the tokenizer configuration."},
      {std::string("{") + kCharacterModel + R"(, "normalizer": {"type": "Unknown"}})", "Unsupported Normalizer type: Unknown"},
      {std::string("{") + kCharacterModel + R"(, "pre_tokenizer": {"type": "Sequence"}})", "No pretokenizers in Sequence"},
      {std::string("{") + kCharacterModel + R"(, "post_processor": {"type": "BertProcessing"}})", "Missing `sep` processor configuration"},
      {std::string("{") + kCharacterModel + R"(, "decoder": {"type": "Strip"}})", "Incorrect StripDecoder configuration: can't parse `content`."},
  };
  for (const auto& c : cases) {
    try {
      PreTrainedTokenizer(json(R"({"tokenizer_class": "GPT2Tokenizer"})"), json(c.data), true);
      ADD_FAILURE() << "accepted " << c.data;
    } catch (const std::exception& e) {
      EXPECT_EQ(e.what(), c.message) << c.data;
    }
  }
  // Unigram ids out of range and malformed entries.
  for (const char* model : {R"({"type": "Unigram", "vocab": [["a", 0]], "unk_id": 3})", R"({"vocab": [[0.5, "a"]], "unk_id": 0})"}) {
    try {
      PreTrainedTokenizer(json(R"({"tokenizer_class": "T5Tokenizer"})"), json(std::string(R"({"model": )") + model + "}"), true);
      ADD_FAILURE() << "accepted " << model;
    } catch (const TokenizerError& e) {
      EXPECT_EQ(e.kind(), TokenizerError::Kind::malformedVocab);
    }
  }
}

TEST(PreTrainedTokenizerTest, EncodesSectionByAddedTokens) {
  auto t = tokenizer(R"("added_tokens": [{"id": 5, "content": "<sep>", "special": true},
                                          {"id": 6, "content": "<mask>", "lstrip": true}],
      "pre_tokenizer": {"type": "Metaspace", "replacement": "▁", "prepend_scheme": "first"},
      "post_processor": {"type": "TemplateProcessing", "single": [{"SpecialToken": {"id": "<sep>"}},
          {"Sequence": {"id": "A"}}, {"SpecialToken": {"id": "<missing>"}}], "pair": []})");
  EXPECT_EQ(t.encode("<sep>", false), (Ids{5}));
  // The post-processor adds its tokens around a lone added token; one not in the vocabulary is left out.
  EXPECT_EQ(t.encode("<sep>"), (Ids{5, 5}));
  // The first section is pre-tokenized with firstSection; a text that starts with an added token has none.
  EXPECT_EQ(t.tokenize("a b"), (Tokens{"▁", "a", "▁", "b"}));
  EXPECT_EQ(t.tokenize("<sep>a b"), (Tokens{"<sep>", "a", "▁", "b"}));
  // lstrip swallows the blanks in front of <mask>.
  EXPECT_EQ(t.tokenize("a  <mask> b"), (Tokens{"▁", "a", "<mask>", "▁", "b"}));
  // Empty text has no tokens, though the pre-tokenizer would prepend its replacement to it.
  EXPECT_EQ(t.tokenize(""), Tokens{});
  EXPECT_EQ(t.encode(""), (Ids{5}));
}

TEST(PreTrainedTokenizerTest, FusesUnknownRunsWithinASection) {
  auto t = tokenizer(R"("added_tokens": [{"id": 5, "content": "<sep>"}])",
                     R"({"tokenizer_class": "GPT2Tokenizer", "unk_token": "<unk>", "fuse_unk": true})");
  EXPECT_EQ(t.encode("xy"), (Ids{4}));
  EXPECT_EQ(t.encode("x<sep>y"), (Ids{4, 5, 4}));
  EXPECT_EQ(t.encode("axyb"), (Ids{0, 4, 1}));
  auto unfused = tokenizer("", R"({"tokenizer_class": "GPT2Tokenizer", "unk_token": "<unk>"})");
  EXPECT_EQ(unfused.encode("xy"), (Ids{4, 4}));
}

TEST(PreTrainedTokenizerTest, DecodesWithSkippingAndCleanUp) {
  const std::string added = R"("added_tokens": [{"id": 5, "content": "<sep>", "special": true},
                                                 {"id": 6, "content": "<mask>", "special": false}])";
  auto t = tokenizer(added);
  EXPECT_EQ(t.decode({0, 5, 6, 1}), "a<sep><mask>b");
  EXPECT_EQ(t.decode({0, 5, 6, 1}, true), "a<mask>b");
  EXPECT_EQ(t.decode({0, 99, -1, 1}), "ab");
  EXPECT_EQ(t.decode({}), "");
  // " ," => ","; " ' " => "'" before " 's" runs; " n't" => "n't".
  // "a , b . c ' s n ' t" as character ids.
  const Ids spaced = {0, 3, 8, 3, 1, 3, 9, 3, 2, 3, 10, 3, 11, 3, 12, 3, 10, 3, 13};
  // " ' " => "'" first, then " n't" => "n't" joins the last two words.
  EXPECT_EQ(t.decode(spaced), "a, b. c'sn't");
  EXPECT_EQ(t.cleanUp("it ' s"), "it's");
  EXPECT_EQ(t.cleanUp("do n't"), "don't");
  auto raw = tokenizer(added, R"({"tokenizer_class": "GPT2Tokenizer", "clean_up_tokenization_spaces": false})");
  EXPECT_FALSE(raw.cleanUpTokenizationSpaces());
  EXPECT_EQ(raw.decode(spaced), "a , b . c ' s n ' t");
}

TEST(PreTrainedTokenizerTest, HostileTextIsAnErrorOrFinishes) {
  auto t = tokenizer("");
  EXPECT_THROW(t.encode("a\xC3"), platform::text::InvalidUtf8Error);
  EXPECT_THROW(t.encode("\xED\xA0\x80"), platform::text::InvalidUtf8Error);  // a surrogate
  // One long piece through many merge rounds ends promptly (the heap path).
  PreTrainedTokenizer merging(json(R"({"tokenizer_class": "GPT2Tokenizer"})"),
                              json(R"({"model": {"vocab": {"a": 0, "aa": 1, "aaaa": 2, "b": 3},
                                       "merges": ["a a", "aa aa"]}})"),
                              true);
  std::string text;
  for (int i = 0; i < 50000; ++i) text += i % 7 ? "a" : "b";
  auto ids = merging.encode(text);
  std::string back;
  const std::string texts[] = {"a", "aa", "aaaa", "b"};
  for (TokenId id : ids) back += texts[id];
  EXPECT_EQ(back, text);
}

// Every search of one call shares one time budget: a Split pattern that backtracks through each
// run of a's stays within the limit of one search, but not of the call. The test narrows the
// call's budget so that it ends quickly.
TEST(PreTrainedTokenizerTest, RegularExpressionsOfOneCallShareATimeBudget) {
  auto t = tokenizer(R"("pre_tokenizer": {"type": "Split", "pattern": {"Regex": "(a+)+b|!"}, "behavior": "Isolated"})");
  std::string text;
  while (text.size() < 1500) text += std::string(20, 'a') + "!";
  platform::text::RegexTimeBudget budget(std::chrono::milliseconds(100));
  EXPECT_THROW(t.encode(text), platform::text::RegexTimeout);
}

TEST(PreTrainedTokenizerTest, ChatTemplatePresence) {
  EXPECT_FALSE(tokenizer("").hasChatTemplate());
  EXPECT_FALSE(tokenizer("", R"({"tokenizer_class": "GPT2Tokenizer", "chat_template": null})").hasChatTemplate());
  EXPECT_TRUE(tokenizer("", R"({"tokenizer_class": "GPT2Tokenizer", "chat_template": "{{ x }}"})").hasChatTemplate());
  EXPECT_TRUE(tokenizer("", R"({"tokenizer_class": "GPT2Tokenizer", "chat_template": [{"name": "default"}]})").hasChatTemplate());
}

}  // namespace
}  // namespace tokenizers
