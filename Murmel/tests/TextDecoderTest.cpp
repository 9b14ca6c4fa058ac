#include "Murmel/decoding/TextDecoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <stop_token>

#include "KestrumCore/Concurrency.h"
#include "Murmel/common/WhisperError.h"
#include "Murmel/decoding/TextUtilities.h"
#include "Murmel/tests/FakeTokenizer.h"
#include "Murmel/tests/ScriptedDecoder.h"

namespace murmel {
namespace {

using platform::ml::Float16;
using testing::FakeTokenizer;
using testing::ScriptedDecoder;
using testing::ScriptedDecoderShape;
using testing::ScriptedStep;
using Tokens = std::vector<std::int64_t>;

// The fake vocabulary: text " w0" … " w38", blank 39, then the special tokens, timestamps 51…63.
constexpr std::int64_t kBlank = 39, kEnd = 40, kStart = 41, kEnglish = 42, kGerman = 43, kFrench = 44, kTranslate = 46,
                       kTranscribe = 47, kPrevious = 48, kNoSpeech = 49, kNoTimestamps = 50, kTime = 51;

std::map<tokenizers::TokenId, std::string> fakePieces() {
  std::map<tokenizers::TokenId, std::string> pieces;
  for (int i = 0; i < 39; ++i) pieces[i] = " w" + std::to_string(i);
  pieces[kBlank] = " ";
  const char* special[] = {"<|endoftext|>", "<|startoftranscript|>", "<|en|>", "<|de|>", "<|fr|>", "<|ja|>",
                           "<|translate|>", "<|transcribe|>", "<|startofprev|>", "<|nospeech|>", "<|notimestamps|>"};
  for (int i = 0; i < 11; ++i) pieces[40 + i] = special[i];
  for (int i = 0; i < 13; ++i) {
    char text[16];
    std::snprintf(text, sizeof text, "<|%.2f|>", i * 0.02);
    pieces[kTime + i] = text;
  }
  return pieces;
}

// A tokenizer whose language set also holds an unsupported "language" (text token 38).
class ExtraLanguageTokenizer : public WhisperTokenizerWrapper {
 public:
  ExtraLanguageTokenizer() : WhisperTokenizerWrapper(std::make_shared<FakeTokenizer>(fakePieces())) {
    languages_ = WhisperTokenizerWrapper::allLanguageTokens();
    languages_.insert(38);
  }
  const std::set<std::int64_t>& allLanguageTokens() const override { return languages_; }

 private:
  std::set<std::int64_t> languages_;
};

struct Harness {
  ScriptedDecoder fake;
  TextDecoder decoder;
  std::shared_ptr<const WhisperTokenizer> tokenizer = std::make_shared<WhisperTokenizerWrapper>(std::make_shared<FakeTokenizer>(fakePieces()));

  explicit Harness(ScriptedDecoderShape shape = {}, bool multilingual = false, bool prefill = false) : fake(shape) {
    decoder.setModel(fake.decoderModel());
    decoder.setTokenizer(tokenizer);
    decoder.setIsModelMultilingual(multilingual);
    if (prefill) {
      auto holder = std::make_shared<TextDecoderContextPrefill>();
      holder->setModel(fake.prefillModel());
      decoder.setPrefillData(holder);
    }
  }

  std::shared_ptr<DecodingInputs> inputs(const std::optional<DecodingOptions>& options) {
    auto in = decoder.prepareDecoderInputs({kStart});
    decoder.prefillDecoderInputs(*in, options);
    return in;
  }

  DecodingResult decode(const DecodingOptions& options, const DecodingCallback& callback = {}) {
    auto in = inputs(options);
    lastInputs = in;
    GreedyTokenSampler sampler(Float16(0), kEnd, options);
    return decoder.decodeText(fake.encoderOutput(), *in, sampler, options, callback);
  }

  std::shared_ptr<DecodingInputs> lastInputs;
};

Tokens fedTokens(const ScriptedDecoder& fake) {
  Tokens out;
  for (const auto& c : fake.calls()) out.push_back(c.token);
  return out;
}

Tokens positions(const ScriptedDecoder& fake) {
  Tokens out;
  for (const auto& c : fake.calls()) out.push_back(c.position);
  return out;
}

std::vector<double> valuesOf(const platform::ml::MLMultiArray& a) {
  std::vector<double> out;
  for (std::int64_t i = 0; i < a.count(); ++i) out.push_back(a[i]);
  return out;
}

DecodingOptions withTopKOne() {
  DecodingOptions o;
  o.topK = 1;
  return o;
}

// ---- decoder inputs and prompt ----------------------------------------------------------------

TEST(TextDecoderTest, PreparedInputsFollowTheModel) {
  Harness h;
  auto in = h.decoder.prepareDecoderInputs({});
  EXPECT_TRUE(in->initialPrompt().empty());
  EXPECT_EQ(in->keyCache()->shape(), (Tokens{1, 4, 1, 32}));
  EXPECT_EQ(in->alignmentWeights()->shape(), (Tokens{32, 8}));
  auto update = valuesOf(*in->kvCacheUpdateMask());
  auto padding = valuesOf(*in->decoderKeyPaddingMask());
  EXPECT_EQ(update[0], 1);
  EXPECT_EQ(padding[0], 0);
  for (std::size_t i = 1; i < 32; ++i) {
    EXPECT_EQ(update[i], 0);
    EXPECT_EQ(padding[i], -10000);
  }
  EXPECT_TRUE(h.decoder.supportsWordTimestamps());
  EXPECT_EQ(h.decoder.logitsSize(), 64);
  EXPECT_EQ(h.decoder.embedSize(), 6);

  TextDecoder empty;
  EXPECT_FALSE(empty.supportsWordTimestamps());
  EXPECT_EQ(empty.kvCacheEmbedDim(), std::nullopt);
  try {
    empty.prepareDecoderInputs({kStart});
    ADD_FAILURE();
  } catch (const WhisperError& e) {
    EXPECT_EQ(e, WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheEmbedDim"));
  }
}

TEST(TextDecoderTest, PrefillBuildsThePromptAndTheCacheOfItsFirstPositions) {
  Tokens longPrompt;
  for (int i = 0; i < 120; ++i) longPrompt.push_back(i % 30);
  longPrompt[115] = kEnd;  // special tokens are dropped
  Tokens last111(longPrompt.end() - 111, longPrompt.end());
  std::erase(last111, kEnd);
  Tokens withPrevious{kPrevious};
  withPrevious.insert(withPrevious.end(), last111.begin(), last111.end());
  Tokens last112(longPrompt.end() - 112, longPrompt.end());
  std::erase(last112, kEnd);

  struct Case {
    const char* name;
    bool multilingual;
    std::optional<DecodingOptions> options;
    Tokens prompt;
    std::vector<std::pair<std::int64_t, std::int64_t>> prefillCalls;  // (task, language)
  };
  DecodingOptions german;
  german.language = "de";
  DecodingOptions translate = german;
  translate.task = DecodingTask::translate;
  DecodingOptions unknownLanguage;
  unknownLanguage.language = "xx";
  DecodingOptions noTimestamps;
  noTimestamps.withoutTimestamps = true;
  DecodingOptions previous;
  previous.promptTokens = longPrompt;
  DecodingOptions prefix;
  prefix.prefixTokens = longPrompt;
  DecodingOptions noCache;
  noCache.usePrefillCache = false;
  auto concat = [](Tokens a, const Tokens& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const Case cases[] = {
      {"no options", true, std::nullopt, {kStart}, {}},
      {"English-only model", false, DecodingOptions{}, {kStart, kTime}, {{0, kEnglish}}},
      {"multilingual, German", true, german, {kStart, kGerman, kTranscribe, kTime}, {{0, kGerman}}},
      {"translate", true, translate, {kStart, kGerman, kTranslate, kTime}, {{1, kGerman}}},
      {"unknown language code", true, unknownLanguage, {kStart, kEnglish, kTranscribe, kTime}, {{0, kEnglish}}},
      {"without timestamps", false, noTimestamps, {kStart, kNoTimestamps}, {{0, kEnglish}}},
      {"previous text: last 111, no prefill", false, previous, concat(withPrevious, {kStart, kTime}), {}},
      {"prefix: last 112", false, prefix, concat({kStart, kTime}, last112), {{0, kEnglish}}},
      {"prefill cache off", false, noCache, {kStart, kTime}, {}},
  };
  for (const auto& c : cases) {
    Harness h({}, c.multilingual, true);
    auto in = h.inputs(c.options);
    EXPECT_EQ(in->initialPrompt(), c.prompt) << c.name;
    EXPECT_EQ(h.fake.prefillCalls(), c.prefillCalls) << c.name;
    const std::int64_t p = c.prefillCalls.empty() ? 0 : 3;
    EXPECT_EQ((*in->cacheLength())[0], p) << c.name;
    for (std::int64_t i = 0; i < 32; ++i) {
      EXPECT_EQ((*in->kvCacheUpdateMask())[i], i == p ? 1 : 0) << c.name << " at " << i;
      EXPECT_EQ((*in->decoderKeyPaddingMask())[i], i <= p ? 0 : -10000) << c.name << " at " << i;
    }
  }
}

// ---- the token loop ---------------------------------------------------------------------------

TEST(TextDecoderTest, LoopForcesThePromptThenSamplesWithCacheAndMasksRightAtEveryStep) {
  Harness h;
  h.fake.script[0] = ScriptedStep(7);               // after the start: dropped
  h.fake.script[1] = ScriptedStep(3);               // first sample
  h.fake.script[2] = ScriptedStep(5).asUncertain();  // 5, 6, 7 tie: lowest wins
  h.fake.script[3] = ScriptedStep(kTime + 5).withAlignmentFrame(4);  // <|0.10|>
  h.fake.script[4] = ScriptedStep(kEnd);
  const auto result = h.decode(DecodingOptions{});

  EXPECT_TRUE(h.fake.faults().empty()) << h.fake.faults().front();
  EXPECT_EQ(fedTokens(h.fake), (Tokens{kStart, kTime, 3, 5, kTime + 5}));
  EXPECT_EQ(positions(h.fake), (Tokens{0, 1, 2, 3, 4}));
  const auto calls = h.fake.calls();
  EXPECT_EQ(calls.back().history, (Tokens{kStart, kTime, 3, 5}));

  EXPECT_EQ(result.tokens, (Tokens{kStart, kTime, 3, 5, kTime + 5, kEnd}));
  EXPECT_EQ(result.text, "<|startoftranscript|><|0.00|> w3 w5<|0.10|><|endoftext|>");
  ASSERT_EQ(result.tokenLogProbs.size(), 6u);
  EXPECT_EQ(result.tokenLogProbs[0].at(kStart), 0.0f);
  EXPECT_EQ(result.tokenLogProbs[1].at(kTime), 0.0f);
  EXPECT_NEAR(result.tokenLogProbs[3].at(5), -std::log(3.0), 1e-3);  // three equal maxima
  EXPECT_EQ(result.language, "en");
  EXPECT_EQ(result.languageProbs, (std::map<std::string, float>{{"en", 0.0f}}));
  EXPECT_FLOAT_EQ(result.compressionRatio, TextUtilities::compressionRatio(Tokens{3, 5}));
  EXPECT_EQ(result.temperature, 0.0f);
  EXPECT_FALSE(result.fallback.has_value());
  ASSERT_TRUE(result.cache && result.cache->alignmentWeights);
  EXPECT_EQ((*result.cache->alignmentWeights)[4 * 8 + 4], 1.0);  // row t + 1 of the step at t = 3
  EXPECT_EQ(result.timings->totalDecodingLoops, 5);
  EXPECT_EQ(result.timings->totalKVUpdateRuns, 4);  // the stopping step runs no cache step
  // The inputs stay at the last position fed.
  EXPECT_EQ((*h.lastInputs->cacheLength())[0], 4);
  EXPECT_EQ((*h.lastInputs->kvCacheUpdateMask())[4], 1);
}

TEST(TextDecoderTest, ModelTimestampReplacesTheForcedFirstTimestamp) {
  Harness h;
  h.fake.script[0] = ScriptedStep(kTime + 2);
  h.fake.script[1] = ScriptedStep(kEnd);
  const auto result = h.decode(DecodingOptions{});
  EXPECT_EQ(fedTokens(h.fake), (Tokens{kStart, kTime + 2}));
  EXPECT_EQ(result.tokens, (Tokens{kStart, kTime + 2, kEnd}));
}

TEST(TextDecoderTest, PrefilledLoopStartsAfterThePrefillAndDetectsTheLanguageToken) {
  Harness h({}, true, true);
  h.fake.script[3] = ScriptedStep(9);
  h.fake.script[4] = ScriptedStep(kEnd);
  DecodingOptions options;
  options.language = "de";
  auto in = h.inputs(options);
  GreedyTokenSampler sampler(Float16(0), kEnd, options);
  DecodingOptions noLanguage;  // the loop reads the language from the tokens
  const auto result = h.decoder.decodeText(h.fake.encoderOutput(), *in, sampler, noLanguage);
  EXPECT_TRUE(h.fake.faults().empty()) << h.fake.faults().front();
  EXPECT_EQ(fedTokens(h.fake), (Tokens{kTime, 9}));
  EXPECT_EQ(h.fake.calls().front().history, (Tokens{kStart, kGerman, kTranscribe}));
  EXPECT_EQ(result.tokens, (Tokens{kStart, kGerman, kTranscribe, kTime, 9, kEnd}));
  EXPECT_EQ(result.language, "de");
  EXPECT_EQ(result.languageProbs, (std::map<std::string, float>{{"de", 0.0f}}));
}

// Prompts whose forced positions the loop feeds itself: without a prefill model from position 0,
// after one from its last position through the prefix tokens.
struct ForcedPrompt {
  const char* name;
  bool multilingual, prefill;
  Tokens prefix;
  Tokens prompt;            // as decoded
  std::int64_t firstSample;  // position of the first prediction kept
};

const ForcedPrompt kForcedPrompts[] = {
    {"English-only, no prefill", false, false, {}, {kStart, kTime}, 1},
    {"multilingual, no prefill", true, false, {}, {kStart, kEnglish, kTranscribe, kTime}, 3},
    {"multilingual, prefill, prefix after it", true, true, {5, 6}, {kStart, kEnglish, kTranscribe, kTime, 5, 6}, 5},
};

DecodingOptions forcedPromptOptions(const ForcedPrompt& c) {
  DecodingOptions options;
  if (!c.prefix.empty()) options.prefixTokens = c.prefix;
  return options;
}

Tokens followedBy(Tokens tokens, const Tokens& more) {
  tokens.insert(tokens.end(), more.begin(), more.end());
  return tokens;
}

TEST(TextDecoderTest, EndOfTextPredictedAtAForcedPositionDoesNotStopDecoding) {
  for (const auto& c : kForcedPrompts) {
    SCOPED_TRACE(c.name);
    Harness h({}, c.multilingual, c.prefill);
    h.fake.fallback = ScriptedStep(kEnd);  // every forced position predicts the end, e.g. after <|en|>
    h.fake.script[c.firstSample] = ScriptedStep(9);
    h.fake.script[c.firstSample + 1] = ScriptedStep(10);
    const auto result = h.decode(forcedPromptOptions(c));
    EXPECT_TRUE(h.fake.faults().empty());
    EXPECT_EQ(result.tokens, followedBy(c.prompt, {9, 10, kEnd}));
    EXPECT_EQ(positions(h.fake).back(), c.firstSample + 2);
    EXPECT_FALSE(result.fallback.has_value());
  }
}

TEST(TextDecoderTest, FirstTokenThresholdJudgesTheFirstSampledToken) {
  DecodingOptions base;
  base.firstTokenLogProbThreshold = -1.5f;
  for (const auto& c : kForcedPrompts) {
    SCOPED_TRACE(c.name);
    auto options = forcedPromptOptions(c);
    options.firstTokenLogProbThreshold = -1.5f;
    // Unlikely predictions at every forced position leave the decoding alone.
    Harness forced({}, c.multilingual, c.prefill);
    forced.fake.fallback = ScriptedStep(7).withLogProb(-3.0f);
    forced.fake.script[c.firstSample] = ScriptedStep(9).withLogProb(-1.0f);
    forced.fake.script[c.firstSample + 1] = ScriptedStep(kEnd);
    const auto kept = forced.decode(options);
    EXPECT_EQ(kept.tokens, followedBy(c.prompt, {9, kEnd}));
    EXPECT_FALSE(kept.fallback.has_value());

    // An unlikely first sample stops at once and asks for a fallback.
    Harness first({}, c.multilingual, c.prefill);
    first.fake.fallback = ScriptedStep(7);
    first.fake.script[c.firstSample] = ScriptedStep(9).withLogProb(-2.0f);
    const auto stopped = first.decode(options);
    EXPECT_EQ(positions(first.fake).back(), c.firstSample);
    EXPECT_EQ(stopped.tokens, followedBy(c.prompt, {kEnd}));
    ASSERT_TRUE(stopped.fallback);
    EXPECT_TRUE(stopped.fallback->needsFallback);
    EXPECT_EQ(stopped.fallback->fallbackReason, "firstTokenLogProbThreshold");
  }

  // With a prefill covering the prompt but its timestamp, the first sample follows that timestamp.
  Harness h({}, true, true);
  h.fake.script[3] = ScriptedStep(9).withLogProb(-2.0f);
  const auto result = h.decode(base);
  EXPECT_EQ(h.fake.calls().size(), 1u);
  EXPECT_EQ(result.tokens, (Tokens{kStart, kEnglish, kTranscribe, kTime, kEnd}));
  ASSERT_TRUE(result.fallback);
  EXPECT_EQ(result.fallback->fallbackReason, "firstTokenLogProbThreshold");
}

TEST(TextDecoderTest, CompletionOnTheFirstStepKeepsThePromptAlone) {
  Harness h({}, true, true);
  h.fake.script[3] = ScriptedStep(kEnd);
  const auto result = h.decode(DecodingOptions{});
  EXPECT_EQ(h.fake.calls().size(), 1u);
  EXPECT_EQ(result.tokens, (Tokens{kStart, kEnglish, kTranscribe, kTime, kEnd}));

  Harness none({}, true, true);
  DecodingOptions shortOptions;
  shortOptions.sampleLength = 3;  // not above the prefilled index
  EXPECT_EQ(none.decode(shortOptions).tokens, (Tokens{kStart, kEnglish, kTranscribe, kTime, kEnd}));
  EXPECT_TRUE(none.fake.calls().empty());
}

// The model's no-speech belief: the softmax probability of <|nospeech|> in the raw logits that
// follow the start of transcript, wherever the prompt puts it. Every other position gives it a
// different probability (about 0.27), and a filter suppresses it, so neither is what is read.
TEST(TextDecoderTest, NoSpeechProbabilityIsReadAfterTheStartOfTranscriptAndDecidesTheFallback) {
  struct Case {
    const char* name;
    bool multilingual, prefill;
    Tokens previousText;
    std::int64_t startPosition;  // -1: a prefill cache holds it, so no model call reads it
    Tokens prompt;
  };
  const Case cases[] = {
      {"English-only", false, false, {}, 0, {kStart, kTime}},
      {"multilingual", true, false, {}, 0, {kStart, kEnglish, kTranscribe, kTime}},
      {"after a previous-text prompt", true, false, {5, 6}, 3, {kPrevious, 5, 6, kStart, kEnglish, kTranscribe, kTime}},
      {"prefilled", true, true, {}, -1, {kStart, kEnglish, kTranscribe, kTime}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h({}, c.multilingual, c.prefill);
    h.decoder.setLogitsFilters(std::vector<std::shared_ptr<LogitsFiltering>>{std::make_shared<SuppressTokensFilter>(Tokens{kNoSpeech})});
    h.fake.fallback = ScriptedStep(kEnd).withLogit(kNoSpeech, 19);
    if (c.startPosition >= 0) h.fake.script[c.startPosition] = ScriptedStep(kNoSpeech).withLogProb(std::log(0.8f));
    const std::int64_t first = static_cast<std::int64_t>(c.prompt.size()) - 1;
    // Unsure text: its average log-probability alone would ask for a fallback.
    h.fake.script[first] = ScriptedStep(9).withLogProb(-1.0f);
    for (std::int64_t i = 1; i <= 4; ++i) h.fake.script[first + i] = ScriptedStep(9 + i).withLogProb(-3.5f);
    h.fake.script[first + 5] = ScriptedStep(kEnd);
    DecodingOptions options;
    if (!c.previousText.empty()) options.promptTokens = c.previousText;
    const auto result = h.decode(options);
    EXPECT_TRUE(h.fake.faults().empty()) << h.fake.faults().front();
    EXPECT_EQ(h.lastInputs->initialPrompt(), c.prompt);
    ASSERT_TRUE(result.fallback);
    if (c.startPosition >= 0) {
      EXPECT_NEAR(result.noSpeechProb, 0.8f, 0.005f);
      EXPECT_FALSE(result.fallback->needsFallback);
      EXPECT_EQ(result.fallback->fallbackReason, "silence");
    } else {
      EXPECT_EQ(result.noSpeechProb, 0.0f);
      EXPECT_TRUE(result.fallback->needsFallback);
      EXPECT_EQ(result.fallback->fallbackReason, "logProbThreshold");
    }
  }
}

TEST(TextDecoderTest, LoopStopsAtTheContextCeilingAndAtTheCacheEnd) {
  struct Case {
    std::int64_t cacheLength, sampleLength;
    std::int64_t lastPosition;
    std::size_t resultTokens;
  } cases[] = {
      {256, 224, 222, 224},  // 223 tokens (prompt included), then the end token
      {12, 224, 10, 13},     // the cache's last column stays free for the mask step
      {32, 6, 5, 8},
  };
  for (const auto& c : cases) {
    ScriptedDecoderShape shape;
    shape.cacheLength = c.cacheLength;
    Harness h(shape);
    h.fake.fallback = ScriptedStep(7);
    DecodingOptions options;
    options.sampleLength = c.sampleLength;
    options.withoutTimestamps = true;
    options.compressionRatioThreshold = std::nullopt;
    const auto result = h.decode(options);
    EXPECT_TRUE(h.fake.faults().empty()) << c.cacheLength;
    EXPECT_EQ(positions(h.fake).back(), c.lastPosition) << c.cacheLength;
    EXPECT_EQ(result.tokens.size(), c.resultTokens) << c.cacheLength;
    EXPECT_EQ(result.tokens.back(), kEnd);
  }
}

TEST(TextDecoderTest, SecondAttemptAfterResetRepeatsTheFirstAndWithoutResetContinues) {
  Harness h({}, true, true);
  h.fake.script[3] = ScriptedStep(9);
  h.fake.script[4] = ScriptedStep(10);
  h.fake.script[5] = ScriptedStep(kEnd);
  DecodingOptions options;
  auto in = h.inputs(options);
  GreedyTokenSampler first(Float16(0), kEnd, options);
  const auto a = h.decoder.decodeText(h.fake.encoderOutput(), *in, first, options);
  in->reset(3, 32);
  GreedyTokenSampler second(Float16(0.2f), kEnd, withTopKOne());
  const auto b = h.decoder.decodeText(h.fake.encoderOutput(), *in, second, options);
  EXPECT_TRUE(h.fake.faults().empty()) << h.fake.faults().front();
  EXPECT_EQ(a.tokens, (Tokens{kStart, kEnglish, kTranscribe, kTime, 9, 10, kEnd}));
  EXPECT_EQ(b.tokens, a.tokens);
  EXPECT_FLOAT_EQ(b.temperature, 0.2f);
  EXPECT_EQ(positions(h.fake), (Tokens{3, 4, 5, 3, 4, 5}));

  // Not reset: the loop goes on from the last position with the prompt's last token, unforced.
  GreedyTokenSampler third(Float16(0), kEnd, options);
  const auto c = h.decoder.decodeText(h.fake.encoderOutput(), *in, third, options);
  const auto calls = h.fake.calls();
  EXPECT_EQ(calls.back().position, 5);
  EXPECT_EQ(calls.back().token, kTime);
  EXPECT_EQ(calls.back().history, (Tokens{kStart, kEnglish, kTranscribe, kTime, 9}));
  EXPECT_EQ(c.tokens, (Tokens{kStart, kEnglish, kTranscribe, kTime, kEnd}));
}

TEST(TextDecoderTest, CallbackStopsOnlyAfterThePrompt) {
  Harness h;
  h.fake.fallback = ScriptedStep(7);
  std::vector<Tokens> seen;
  std::vector<float> ratios;
  const auto result = h.decode(DecodingOptions{}, [&](const TranscriptionProgress& p) -> std::optional<bool> {
    seen.push_back(p.tokens);
    ratios.push_back(*p.compressionRatio);
    return false;
  });
  EXPECT_EQ(positions(h.fake), (Tokens{0, 1}));  // the answer at position 0 is ignored
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1], (Tokens{kStart, kTime, 7}));
  EXPECT_FLOAT_EQ(ratios[1], TextUtilities::compressionRatio(Tokens{kStart, kTime, 7}));  // special tokens count
  EXPECT_EQ(result.tokens, (Tokens{kStart, kTime, 7, kEnd}));

  for (std::optional<bool> answer : {std::optional<bool>(), std::optional<bool>(true)}) {
    Harness going;
    going.fake.fallback = ScriptedStep(7);
    going.fake.script[5] = ScriptedStep(kEnd);
    DecodingOptions options;
    options.withoutTimestamps = true;
    going.decode(options, [&](const TranscriptionProgress&) { return answer; });
    EXPECT_EQ(going.fake.calls().size(), 6u);
  }
}

// However a window ends, its flag leaves the decoder's early-stop tracker with it; while it runs,
// the flag is there.
TEST(TextDecoderTest, EveryWayOutOfAWindowRemovesItsEarlyStopFlag) {
  enum class Exit { completed, stoppedEarly, cancelled, damagedModel, callbackThrows };
  const std::pair<const char*, Exit> cases[] = {{"completed", Exit::completed},
                                                {"stopped early", Exit::stoppedEarly},
                                                {"cancelled", Exit::cancelled},
                                                {"damaged model", Exit::damagedModel},
                                                {"callback throws", Exit::callbackThrows}};
  for (const auto& [name, exit] : cases) {
    SCOPED_TRACE(name);
    Harness h;
    h.fake.fallback = ScriptedStep(7);
    h.fake.script[4] = ScriptedStep(kEnd);
    if (exit == Exit::damagedModel) h.fake.damagedFromCall = 3;
    std::stop_source stop;
    kestrum::StopTokenScope scope(stop.get_token());
    std::vector<std::size_t> flagsDuring;
    const auto callback = [&](const TranscriptionProgress& p) -> std::optional<bool> {
      flagsDuring.push_back(h.decoder.earlyStopActor().count());
      if (p.tokens.size() < 4) return std::nullopt;
      if (exit == Exit::cancelled) stop.request_stop();
      if (exit == Exit::callbackThrows) throw std::runtime_error("callback failed");
      return exit == Exit::stoppedEarly ? std::optional<bool>(false) : std::nullopt;
    };
    const bool throws = exit == Exit::cancelled || exit == Exit::damagedModel || exit == Exit::callbackThrows;
    if (throws) {
      EXPECT_ANY_THROW(h.decode(DecodingOptions{}, callback));
    } else {
      EXPECT_NO_THROW(h.decode(DecodingOptions{}, callback));
    }
    ASSERT_FALSE(flagsDuring.empty());
    EXPECT_EQ(flagsDuring.front(), 1u);
    EXPECT_EQ(h.decoder.earlyStopActor().count(), 0u);
  }
}

// ---- filters in the loop ----------------------------------------------------------------------

TEST(TextDecoderTest, SuppressBlankActsOnTheFirstSampledTokenAfterAPrefill) {
  Harness h({}, true, true);
  h.fake.script[3] = ScriptedStep(kBlank).withLogit(9, 10.0f);
  h.fake.script[4] = ScriptedStep(kEnd);
  DecodingOptions options;
  options.suppressBlank = true;
  const auto result = h.decode(options);
  EXPECT_EQ(result.tokens, (Tokens{kStart, kEnglish, kTranscribe, kTime, 9, kEnd}));
}

TEST(TextDecoderTest, MaxInitialTimestampBecomesABoundedIndex) {
  Harness h;
  struct Case {
    float seconds;
    std::int64_t index;
  } cases[] = {{1.0f, 50}, {1e30f, 1500}, {std::numeric_limits<float>::infinity(), 1500}, {-3.0f, 0},
               {-std::numeric_limits<float>::infinity(), 0}};
  for (const auto& c : cases) {
    DecodingOptions options;
    options.maxInitialTimestamp = c.seconds;
    auto filters = h.decoder.createLogitsFilters(options, 0, 2, *h.tokenizer);
    auto* rules = dynamic_cast<TimestampRulesFilter*>(filters.back().get());
    ASSERT_NE(rules, nullptr);
    EXPECT_EQ(rules->maxInitialTimestampIndex, c.index) << c.seconds;
  }
  DecodingOptions nan;
  nan.maxInitialTimestamp = std::numeric_limits<float>::quiet_NaN();
  EXPECT_THROW(h.decoder.createLogitsFilters(nan, 0, 2, *h.tokenizer), WhisperError);
  EXPECT_THROW(h.decode(nan), WhisperError);
}

TEST(TextDecoderTest, MaxInitialTimestampLimitsTheFirstTimestamp) {
  DecodingOptions options;
  options.maxInitialTimestamp = 0.1f;  // <|0.10|> = kTime + 5
  // The model's own timestamp after the start replaces the forced <|0.00|> only within the limit.
  Harness replaced;
  replaced.fake.script[0] = ScriptedStep(kTime + 10).withLogit(kTime + 3, 5.0f);
  replaced.fake.script[1] = ScriptedStep(9);
  replaced.fake.script[2] = ScriptedStep(kEnd);
  EXPECT_EQ(replaced.decode(options).tokens, (Tokens{kStart, kTime + 3, 9, kEnd}));

  // After a prefill the first sample is capped the same way.
  Harness sampled({}, true, true);
  sampled.fake.script[3] = ScriptedStep(kTime + 10).withLogit(kTime + 3, 5.0f);
  sampled.fake.script[4] = ScriptedStep(9);
  sampled.fake.script[5] = ScriptedStep(kEnd);
  EXPECT_EQ(sampled.decode(options).tokens, (Tokens{kStart, kEnglish, kTranscribe, kTime, kTime + 3, 9, kEnd}));

  // Without the option the model's timestamp stands.
  Harness free;
  free.fake.script[0] = ScriptedStep(kTime + 10).withLogit(kTime + 3, 5.0f);
  free.fake.script[1] = ScriptedStep(kEnd);
  EXPECT_EQ(free.decode(DecodingOptions{}).tokens, (Tokens{kStart, kTime + 10, kEnd}));
}

// ---- failures ---------------------------------------------------------------------------------

TEST(TextDecoderTest, MissingModelTokenizerOrFiniteLogitsAreDecodingErrors) {
  Harness h;
  auto in = h.inputs(DecodingOptions{});
  GreedyTokenSampler sampler(Float16(0), kEnd, DecodingOptions{});
  h.decoder.setModel(nullptr);
  try {
    h.decoder.decodeText(h.fake.encoderOutput(), *in, sampler, DecodingOptions{});
    ADD_FAILURE();
  } catch (const WhisperError& e) {
    EXPECT_EQ(e, WhisperError::decodingLogitsFailed("Unable to decode logits"));
  }

  Harness noTokenizer;
  auto in2 = noTokenizer.inputs(DecodingOptions{});
  noTokenizer.decoder.setTokenizer(nullptr);
  try {
    noTokenizer.decoder.decodeText(noTokenizer.fake.encoderOutput(), *in2, sampler, DecodingOptions{});
    ADD_FAILURE();
  } catch (const WhisperError& e) {
    EXPECT_EQ(e, WhisperError::tokenizerUnavailable());
  }

  Harness damaged;
  damaged.fake.fallback = ScriptedStep(7);
  damaged.fake.damagedFromCall = 2;
  try {
    damaged.decode(DecodingOptions{});
    ADD_FAILURE();
  } catch (const WhisperError& e) {
    EXPECT_EQ(e.kind(), WhisperError::Kind::decodingFailed);
  }
  EXPECT_EQ(damaged.fake.calls().size(), 3u);
}

TEST(TextDecoderTest, CacheUpdateRefusesColumnsPastTheEnd) {
  auto cache = platform::ml::MLMultiArray::make({1, 4, 1, 8}, platform::ml::MLMultiArrayDataType::float16);
  auto values = platform::ml::MLMultiArray::make({1, 4, 1, 8}, platform::ml::MLMultiArrayDataType::float16);
  auto slice = platform::ml::MLMultiArray::make({1, 4, 1, 2}, platform::ml::MLMultiArrayDataType::float16);
  for (std::int64_t j = 0; j < 4; ++j) slice->setValue(j * 2 + 1, static_cast<double>(j + 1));
  EXPECT_THROW(TextDecoding::updateKVCache(*cache, *slice, *values, *slice, 7), std::out_of_range);
  EXPECT_THROW(TextDecoding::updateKVCache(*cache, *slice, *values, *slice, -1), std::out_of_range);
  TextDecoding::updateKVCache(*cache, *slice, *values, *slice, 6);
  for (std::int64_t j = 0; j < 4; ++j)
    for (std::int64_t k = 0; k < 8; ++k) {
      EXPECT_EQ((*cache)[j * 8 + k], k == 7 ? j + 1 : 0);
      EXPECT_EQ((*values)[j * 8 + k], k == 7 ? j + 1 : 0);
    }
  auto table = platform::ml::MLMultiArray::make({8, 3}, platform::ml::MLMultiArrayDataType::float16);
  auto row = platform::ml::MLMultiArray::make({1, 3}, platform::ml::MLMultiArrayDataType::float16);
  EXPECT_THROW(TextDecoding::updateAlignmentWeights(*table, *row, 7), std::out_of_range);
}

// ---- language detection -----------------------------------------------------------------------

TEST(TextDecoderTest, LanguageDetectionSamplesAmongLanguageTokensOnly) {
  Harness h({}, true);
  h.fake.script[0] = ScriptedStep(7).withLogit(kGerman, 5.0f).withLogit(kFrench, 3.0f);
  auto in = h.decoder.prepareDecoderInputs({kStart});
  in->cacheLength()->setValue(0, 5);
  const auto keys = valuesOf(*in->keyCache());
  const auto mask = valuesOf(*in->kvCacheUpdateMask());
  GreedyTokenSampler sampler(Float16(0), kEnd, DecodingOptions{});
  const auto result = h.decoder.detectLanguage(h.fake.encoderOutput(), *in, sampler, DecodingOptions{}, Float16(0));
  EXPECT_EQ(result.language, "de");
  ASSERT_EQ(result.languageProbs.size(), 1u);
  // Only en, de, fr, ja stay: logits 0, 5, 3, 0.
  EXPECT_NEAR(result.languageProbs.at("de"), 5 - std::log(std::exp(5.0) + std::exp(3.0) + 2), 1e-3);
  EXPECT_TRUE(result.tokens.empty());
  EXPECT_EQ(result.text, "");
  EXPECT_EQ(fedTokens(h.fake), (Tokens{kStart}));
  EXPECT_EQ((*in->inputIds())[0], kStart);
  EXPECT_EQ((*in->cacheLength())[0], 0);
  EXPECT_EQ(valuesOf(*in->keyCache()), keys);
  EXPECT_EQ(valuesOf(*in->kvCacheUpdateMask()), mask);
}

TEST(TextDecoderTest, UnsupportedLanguageFallsBackToEnglishAndUnloadForgetsTheFilter) {
  Harness h({}, true);
  h.decoder.setTokenizer(std::make_shared<ExtraLanguageTokenizer>());
  h.fake.script[0] = ScriptedStep(38).withLogit(kGerman, 5.0f);
  GreedyTokenSampler sampler(Float16(0), kEnd, DecodingOptions{});
  auto in = h.decoder.prepareDecoderInputs({kStart});
  auto result = h.decoder.detectLanguage(h.fake.encoderOutput(), *in, sampler, DecodingOptions{}, Float16(0));
  EXPECT_EQ(result.language, "en");
  EXPECT_EQ(result.languageProbs.count(" w38"), 1u);

  h.decoder.unloadModel();
  h.decoder.setModel(h.fake.decoderModel());
  h.decoder.setTokenizer(h.tokenizer);  // token 38 is no language any more
  result = h.decoder.detectLanguage(h.fake.encoderOutput(), *in, sampler, DecodingOptions{}, Float16(0));
  EXPECT_EQ(result.language, "de");

  TextDecoder unloaded;
  unloaded.setTokenizer(h.tokenizer);
  try {
    unloaded.detectLanguage(h.fake.encoderOutput(), *in, sampler, DecodingOptions{}, Float16(0));
    ADD_FAILURE();
  } catch (const WhisperError& e) {
    EXPECT_EQ(e, WhisperError::modelsUnavailable("Failed to read logits size from model"));
  }
}

}  // namespace
}  // namespace murmel
