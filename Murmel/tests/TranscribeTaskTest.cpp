#include "Murmel/transcription/TranscribeTask.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <set>
#include <stop_token>

#include <pthread.h>

#include "KestrumCore/Concurrency.h"
#include "KestrumCore/tests/LogCapture.h"
#include "Murmel/common/WhisperError.h"
#include "Murmel/tests/FakeStages.h"
#include "Murmel/tests/ScriptedDecoder.h"
#include "Murmel/tests/SeekerFixtures.h"
#include "testsupport/Fixtures.h"

namespace murmel {
namespace {

using platform::ml::Float16;
using platform::ml::MLMultiArray;
using testing::FakeEncoder;
using testing::FakeExtractor;
using testing::kWordEnd;
using testing::kWordStart;
using testing::kWordTime;
using testing::ScriptedDecoder;
using testing::ScriptedDecoderShape;
using testing::ScriptedStep;
using Tokens = std::vector<std::int64_t>;

constexpr std::int64_t T = kWordTime;
std::int64_t ts(int k) { return T + k; }  // k × 0.02 s

ScriptedDecoderShape shape() {
  ScriptedDecoderShape s;
  s.vocabulary = 151;
  s.cacheLength = 32;
  return s;
}

// The real decoder's inputs and prefill; decodeText answers from a list of results (the last one
// repeats) and leaves the inputs where a loop of nine steps would.
class ResultsDecoder : public TextDecoder {
 public:
  std::deque<DecodingResult> results;
  std::vector<float> temperatures;
  std::vector<std::int64_t> cacheAtEntry;
  std::vector<Tokens> promptAtEntry;
  std::vector<std::string> detections;  // languages to detect, one per call; empty: detection fails
  std::size_t detectCalls = 0;

  DecodingResult detectLanguage(const AudioEncoderOutputType&, DecodingInputsType&, TokenSampling&, const DecodingOptions&,
                                Float16) override {
    const std::size_t call = detectCalls++;
    if (call >= detections.size()) throw WhisperError::decodingFailed("no language");
    DecodingResult r;
    r.language = detections[call];
    return r;
  }

  DecodingResult decodeText(const AudioEncoderOutputType&, DecodingInputsType& inputs, TokenSampling& sampler,
                            const DecodingOptions&, const DecodingCallback&) override {
    temperatures.push_back(static_cast<float>(dynamic_cast<GreedyTokenSampler&>(sampler).temperature));
    cacheAtEntry.push_back(static_cast<std::int64_t>((*inputs.cacheLength())[0]));
    promptAtEntry.push_back(inputs.initialPrompt());
    inputs.cacheLength()->setValue(0, 9);
    DecodingResult r = results.front();
    if (results.size() > 1) results.pop_front();
    r.temperature = temperatures.back();
    return r;
  }
};

DecodingResult tokensResult(Tokens tokens, std::optional<DecodingFallback> fallback = std::nullopt) {
  DecodingResult r;
  r.tokens = std::move(tokens);
  for (auto t : r.tokens) r.tokenLogProbs.push_back({{t, -0.1f}});
  r.language = "en";
  r.avgLogProb = -0.1f;
  r.fallback = std::move(fallback);
  return r;
}

struct Harness {
  ScriptedDecoder fake{shape()};
  std::shared_ptr<const WhisperTokenizer> tokenizer = testing::seekerTokenizer();
  std::shared_ptr<FakeExtractor> extractor = std::make_shared<FakeExtractor>();
  std::shared_ptr<SegmentSeeking> seeker = std::make_shared<SegmentSeeker>();

  template <class Decoder>
  std::shared_ptr<Decoder> decoder() {
    auto d = std::make_shared<Decoder>();
    d->setModel(fake.decoderModel());
    d->setTokenizer(tokenizer);
    return d;
  }

  std::unique_ptr<TranscribeTask> task(std::shared_ptr<TextDecoding> decoder) {
    return std::make_unique<TranscribeTask>(TranscriptionTimings{}, nullptr, nullptr,
                                            std::make_shared<FakeEncoder>(fake.encoderOutput()), extractor, seeker,
                                            std::move(decoder), tokenizer);
  }
};

std::vector<float> seconds(double s) { return std::vector<float>(static_cast<std::size_t>(s * 16000), 0.01f); }

void expectOrderedAndMonotonic(const std::vector<TranscriptionSegment>& segments) {
  for (std::size_t i = 0; i < segments.size(); ++i) {
    EXPECT_EQ(segments[i].id, static_cast<std::int64_t>(i));
    EXPECT_LE(segments[i].start, segments[i].end) << i;
    if (i > 0) {
      EXPECT_LE(segments[i - 1].end, segments[i].start + 1e-4f) << i;
      EXPECT_LE(segments[i - 1].seek, segments[i].seek) << i;
    }
  }
}

// ---- with the scripted model --------------------------------------------------------------------

TEST(TranscribeTaskTest, TwoTimestampedSegmentsPerWindowMoveTheSeekToTheLastTimestamp) {
  Harness h;
  h.fake.script[0] = ScriptedStep(3);  // after the start: replaced by the prompt
  h.fake.script[1] = ScriptedStep(0);        // " Hello"
  h.fake.script[2] = ScriptedStep(ts(50));   // <|1.00|>
  h.fake.script[3] = ScriptedStep(ts(50));
  h.fake.script[4] = ScriptedStep(2);        // " world"
  h.fake.script[5] = ScriptedStep(ts(75));   // <|1.50|>
  h.fake.script[6] = ScriptedStep(kWordEnd);
  auto decoder = h.decoder<TextDecoder>();
  auto task = h.task(decoder);
  std::vector<std::vector<TranscriptionSegment>> discovered;
  task->segmentDiscoveryCallback = [&](const std::vector<TranscriptionSegment>& s) { discovered.push_back(s); };

  // 3 s: windows at 0 and at 1.5 s (24,000 samples); the seek then reaches 3.0 s.
  const auto result = task->run(seconds(3));
  EXPECT_TRUE(h.fake.faults().empty()) << h.fake.faults().front();
  const auto segments = result.segments();
  ASSERT_EQ(segments.size(), 4u);
  const float starts[] = {0.0f, 1.0f, 1.5f, 2.5f}, ends[] = {1.0f, 1.5f, 2.5f, 3.0f};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_FLOAT_EQ(segments[i].start, starts[i]) << i;
    EXPECT_FLOAT_EQ(segments[i].end, ends[i]) << i;
    EXPECT_EQ(segments[i].seek, i < 2 ? 0 : 24000);
  }
  expectOrderedAndMonotonic(segments);
  EXPECT_EQ(segments[0].tokens, (Tokens{kWordStart, T, 0, ts(50)}));
  EXPECT_EQ(segments[1].tokens, (Tokens{ts(50), 2, ts(75)}));
  EXPECT_EQ(result.text(), "Hello world Hello world");
  EXPECT_EQ(result.language(), "en");
  ASSERT_EQ(discovered.size(), 2u);
  EXPECT_EQ(discovered[1][0].id, 2);
  EXPECT_EQ(h.extractor->windows, (std::vector<std::int64_t>{480000, 480000}));  // padded windows
  const auto t = task->timings();
  EXPECT_EQ(t.totalDecodingWindows, 2);
  EXPECT_EQ(t.totalEncodingRuns, 2);
  EXPECT_EQ(t.totalDecodingFallbacks, 0);
  EXPECT_NEAR(t.inputAudioSeconds, 3.0, 1e-9);
  EXPECT_LE(t.pipelineStart, t.firstTokenTime);
  EXPECT_GT(t.fullPipeline, 0);
  EXPECT_EQ(task->progress()->completedUnitCount(), 48000);
  // Both windows were decoded from the prefilled start: the second window's first step is at 0.
  std::int64_t starts0 = 0;
  for (const auto& c : h.fake.calls()) starts0 += c.position == 0;
  EXPECT_EQ(starts0, 2);
}

TEST(TranscribeTaskTest, WithoutTimestampsEachWindowIsOneSegment) {
  Harness h;
  h.fake.script[0] = ScriptedStep(3);  // after the start: replaced by the prompt
  h.fake.script[1] = ScriptedStep(0);
  h.fake.script[2] = ScriptedStep(2);
  h.fake.script[3] = ScriptedStep(kWordEnd);
  auto task = h.task(h.decoder<TextDecoder>());
  DecodingOptions options;
  options.withoutTimestamps = true;
  const auto result = task->run(seconds(40), options);
  const auto segments = result.segments();
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_FLOAT_EQ(segments[0].start, 0.0f);
  EXPECT_FLOAT_EQ(segments[0].end, 30.0f);
  EXPECT_FLOAT_EQ(segments[1].start, 30.0f);
  EXPECT_FLOAT_EQ(segments[1].end, 40.0f);
  EXPECT_EQ(segments[1].seek, 480000);
  for (const auto& s : segments) {
    for (auto token : s.tokens) EXPECT_LT(token, T);  // no timestamps decoded
  }
  EXPECT_EQ(result.text(), "Hello world Hello world");
}

TEST(TranscribeTaskTest, ShortAudioDecodesNothingAndFinishes) {
  Harness h;
  auto task = h.task(h.decoder<TextDecoder>());
  const auto result = task->run(seconds(0.5));
  EXPECT_TRUE(result.segments().empty());
  EXPECT_EQ(result.text(), "");
  EXPECT_EQ(result.language(), "en");
  EXPECT_TRUE(h.extractor->windows.empty());
  EXPECT_EQ(task->progress()->completedUnitCount(), task->progress()->totalUnitCount());
}

// Runs `body` on a thread with a stack of `bytes`, so that a recursion that grows with the input
// overflows it.
void onSmallStack(std::size_t bytes, const std::function<void()>& body) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, bytes), 0);
  pthread_t thread;
  auto run = [](void* argument) -> void* {
    (*static_cast<const std::function<void()>*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&body)), 0);
  pthread_attr_destroy(&attributes);
  pthread_join(thread, nullptr);
}

TEST(TranscribeTaskTest, ReusedTaskKeepsOneProgressChildAcrossRuns) {
  // The stream transcriber runs one task on every pass: its progress must not nest per run.
  constexpr int kRuns = 100000;
  Harness h;
  auto parent = std::make_shared<kestrum::Progress>(1);
  std::weak_ptr<kestrum::Progress> firstRun;
  bool sameChildEveryRun = true;
  onSmallStack(256 * 1024, [&] {
    auto task = std::make_unique<TranscribeTask>(TranscriptionTimings{}, parent, nullptr,
                                                 std::make_shared<FakeEncoder>(h.fake.encoderOutput()), h.extractor,
                                                 h.seeker, h.decoder<TextDecoder>(), h.tokenizer);
    const auto shortAudio = seconds(0.5), longerAudio = seconds(0.75);
    for (int run = 0; run < kRuns; ++run) {
      task->run(run % 2 ? longerAudio : shortAudio);
      if (run == 0) firstRun = task->progress();
      sameChildEveryRun = sameChildEveryRun && task->progress() == firstRun.lock();
    }
    EXPECT_EQ(task->progress()->totalUnitCount(), 12000);  // the last run's samples
    EXPECT_EQ(task->progress()->completedUnitCount(), 12000);
    EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 1.0);
    task.reset();
    parent.reset();  // frees the whole tree here, on the small stack
  });
  EXPECT_TRUE(sameChildEveryRun);
  EXPECT_TRUE(firstRun.expired());
}

// ---- fallback ladder ----------------------------------------------------------------------------

TEST(TranscribeTaskTest, FallbackLadderRaisesTheTemperatureAndResetsBetweenAttempts) {
  const DecodingFallback compression{true, "compressionRatioThreshold"}, logProb{true, "logProbThreshold"},
      firstToken{true, "firstTokenLogProbThreshold"}, silence{false, "silence"};
  const Tokens text{kWordStart, T, 0, ts(50), kWordEnd};
  struct Case {
    const char* name;
    std::vector<std::optional<DecodingFallback>> attempts;  // the last repeats
    std::int64_t fallbackCount;
    std::vector<float> temperatures;
    double totalFallbacks;
  };
  const Case cases[] = {
      {"accepted at once", {std::nullopt}, 0, {0.0f}, 0},
      {"three reasons, then accepted", {compression, logProb, firstToken, std::nullopt}, 0,
       {0.0f, 0.199951171875f, 0.39990234375f, 0.599609375f}, 2},
      {"silence is not retried", {silence}, 0, {0.0f}, 0},
      {"every attempt falls back", {compression}, 0,
       {0.0f, 0.199951171875f, 0.39990234375f, 0.599609375f, 0.7998046875f, 1.0f}, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    auto decoder = h.decoder<ResultsDecoder>();
    for (const auto& f : c.attempts) decoder->results.push_back(tokensResult(text, f));
    auto task = h.task(decoder);
    DecodingOptions options;
    options.usePrefillPrompt = false;
    const auto result = task->run(seconds(2), options);
    EXPECT_EQ(decoder->temperatures, c.temperatures);
    // Every attempt starts from the prefilled cache length (0 without prefill), never from 9.
    for (auto at : decoder->cacheAtEntry) EXPECT_EQ(at, 0);
    EXPECT_EQ(task->timings().totalDecodingFallbacks, c.totalFallbacks);
    const auto segments = result.segments();
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_EQ(segments[0].temperature, c.temperatures.back());  // the last attempt's result is kept
  }

  // No fallback ladder at all: one attempt whatever it says.
  Harness h;
  auto decoder = h.decoder<ResultsDecoder>();
  decoder->results.push_back(tokensResult(text, compression));
  DecodingOptions options;
  options.temperatureFallbackCount = 0;
  h.task(decoder)->run(seconds(2), options);
  EXPECT_EQ(decoder->temperatures.size(), 1u);
}

TEST(TranscribeTaskTest, MultilingualModelDetectsTheLanguageBeforeEveryAttempt) {
  Harness h;
  auto decoder = h.decoder<ResultsDecoder>();
  decoder->setIsModelMultilingual(true);
  decoder->detections = {"de", "fr"};  // a third detection fails
  const Tokens text{kWordStart, T, 0, kWordEnd};
  decoder->results = {tokensResult(text, DecodingFallback{true, "compressionRatioThreshold"}), tokensResult(text),
                      tokensResult(text)};
  decoder->results[2].language = "ja";
  DecodingOptions options;
  options.detectLanguage = true;
  options.clipTimestamps = {0.0f, 2.0f, 4.0f, 6.0f};  // two windows of 2 s
  const auto result = h.task(decoder)->run(seconds(6), options);
  EXPECT_EQ(decoder->detectCalls, 3u);
  // The prompt is prefilled again with each detected language: <|de|> (43), then <|fr|> (44).
  ASSERT_EQ(decoder->promptAtEntry.size(), 3u);
  EXPECT_EQ(decoder->promptAtEntry[0][1], 43);
  EXPECT_EQ(decoder->promptAtEntry[1][1], 44);
  // A failed detection leaves the language to the decoded result.
  EXPECT_EQ(result.language(), "ja");
}

TEST(TranscribeTaskTest, NegativeFallbackCountIsRefused) {
  Harness h;
  auto decoder = h.decoder<ResultsDecoder>();
  decoder->results.push_back(tokensResult({kWordStart, 0, kWordEnd}));
  DecodingOptions options;
  options.temperatureFallbackCount = -1;
  try {
    h.task(decoder)->run(seconds(2), options);
    FAIL() << "a negative fallback count was accepted";
  } catch (const WhisperError& e) {
    EXPECT_EQ(e.kind(), WhisperError::Kind::decodingFailed);
  }
}

// ---- window loop ---------------------------------------------------------------------------------

TEST(TranscribeTaskTest, SixtyFiveSecondsCrossThreeWindowsInOrder) {
  Harness h;
  auto decoder = h.decoder<ResultsDecoder>();
  // Window 1 ends in a timestamp pair at 29 s; window 2 in a single timestamp at 30 s after its start;
  // window 3 (6 s) holds no pair and covers the rest.
  decoder->results = {tokensResult({kWordStart, T, 10, T + 700, T + 700, 11, T + 1450, T + 1450}),
                      tokensResult({kWordStart, T, 12, T + 1000, T + 1000, 13, T + 1500, kWordEnd}),
                      tokensResult({kWordStart, T, 14, kWordEnd})};
  auto task = h.task(decoder);
  const auto result = task->run(seconds(65));
  const auto segments = result.segments();
  ASSERT_EQ(segments.size(), 5u);
  const float starts[] = {0, 14, 29, 49, 59}, ends[] = {14, 29, 49, 59, 65};
  const std::int64_t seeks[] = {0, 0, 464000, 464000, 944000};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_NEAR(segments[i].start, starts[i], 1e-3) << i;
    EXPECT_NEAR(segments[i].end, ends[i], 1e-3) << i;
    EXPECT_EQ(segments[i].seek, seeks[i]) << i;
  }
  expectOrderedAndMonotonic(segments);
  EXPECT_EQ(h.extractor->windows.size(), 3u);
  EXPECT_EQ(result.text(), "w10 w11 w12 w13 w14");
  EXPECT_EQ(task->timings().totalDecodingWindows, 3);
  EXPECT_EQ(task->progress()->completedUnitCount(), 65 * 16000);
}

// Alignment weights [32, 1500]: row r has its weight at frames[r].
std::shared_ptr<MLMultiArray> alignmentAt(const std::vector<std::int64_t>& frames) {
  auto weights = MLMultiArray::make({32, 1500}, platform::ml::MLMultiArrayDataType::float16);
  for (std::size_t r = 0; r < frames.size(); ++r) weights->setValue(static_cast<std::int64_t>(r) * 1500 + frames[r], 1);
  return weights;
}

TEST(TranscribeTaskTest, TimesNeverPassTheEndOfTheAudio) {
  for (bool wordTimestamps : {false, true}) {
    SCOPED_TRACE(wordTimestamps ? "with word timestamps" : "segments only");
    Harness h;
    auto decoder = h.decoder<ResultsDecoder>();
    // The windows at 0 and 30 s end on a single timestamp at 30 s; the last one (60 to 65 s) runs
    // its timestamps and words to 89.98 s, into the padding.
    auto last = tokensResult({kWordStart, T, 14, T + 1491, T + 1491, 15, T + 1499, kWordEnd});
    last.cache = DecodingCache{nullptr, nullptr, alignmentAt({0, 0, 100, 1490, 1491, 1495, 1499})};
    decoder->results = {tokensResult({kWordStart, T, 10, T + 1500, kWordEnd}),
                        tokensResult({kWordStart, T, 12, T + 1500, kWordEnd}), last};
    DecodingOptions options;
    options.wordTimestamps = wordTimestamps;
    const auto result = h.task(decoder)->run(seconds(65), options);
    const auto segments = result.segments();
    ASSERT_GE(segments.size(), 3u);
    EXPECT_EQ(segments[2].seek, 960000);
    if (!wordTimestamps) {
      EXPECT_FLOAT_EQ(segments[2].end, 65.0f);  // words set it otherwise
    }
    for (const auto& s : segments) {
      EXPECT_LE(s.start, 65.0f) << s.id;
      EXPECT_LE(s.end, 65.0f) << s.id;
    }
    const auto words = result.allWords();
    EXPECT_EQ(words.empty(), !wordTimestamps);
    for (const auto& w : words) {
      EXPECT_LE(w.start, 65.0f) << w.word;
      EXPECT_LE(w.end, 65.0f) << w.word;
    }
  }
}

// Word timing that gives the first segment two words at fixed times.
class FixedWordsSeeker : public SegmentSeeker {
 public:
  std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
      const std::vector<TranscriptionSegment>& segments, const MLMultiArray&, const WhisperTokenizer&, std::int64_t,
      std::int64_t, const std::string&, const std::string&, float, const DecodingOptions&, const TranscriptionTimings&,
      std::int64_t) override {
    auto out = segments;
    out[0].words = std::vector<WordTiming>{{" Hi", {0}, 0.5f, 1.25f, 0.95f}, {" there", {2}, 0.0625f, 1.0f, 0.5f}};
    return out;
  }
};

TEST(TranscribeTaskTest, DebugLinesTellTheSetUpTheWindowsAndTheirWords) {
  testsupport::EnvironmentGuard environment;
  environment.set("LC_ALL", "C");
  for (auto level : {kestrum::Logging::LogLevel::debug, kestrum::Logging::LogLevel::info}) {
    SCOPED_TRACE(level == kestrum::Logging::LogLevel::debug ? "debug" : "info");
    Harness h;
    h.seeker = std::make_shared<FixedWordsSeeker>();
    auto decoder = h.decoder<ResultsDecoder>();
    decoder->setIsModelMultilingual(true);
    decoder->detections = {"de"};
    auto window = tokensResult({kWordStart, T, 0, ts(50), kWordEnd});
    window.cache = DecodingCache{nullptr, nullptr, alignmentAt({})};
    decoder->results = {window};
    DecodingOptions options;
    options.detectLanguage = true;
    options.wordTimestamps = true;
    testsupport::LogCapture log(level);
    h.task(decoder)->run(seconds(2), options);

    const std::vector<std::string> expected = {
        "Prefill prompt: [\"<|startoftranscript|>\", \"<|en|>\", \"<|transcribe|>\", \"<|0.00|>\"]",
        "Decoding seek clips: [(start: 0, end: 32000)]",
        "Decoding Window Size: 32000 (2.00s)",
        "Decoding with temperatures [0.0, 0.2, 0.4, 0.5996, 0.8, 1.0]",  // shortest texts of the halves
        "Prefill prompt updated to: [\"<|startoftranscript|>\", \"<|de|>\", \"<|transcribe|>\", \"<|0.00|>\"]",
        "Word timestamps:",
        "[0.500 -> 1.25] prob: 0.95, word:  Hi",
        "[0.0625 -> 1.00] prob: 0.5, word:  there",
        "Segments for window:",
        "[0.00 --> 1.00] <|startoftranscript|><|0.00|> Hello<|1.00|><|endoftext|>",  // no timestamp pair: one segment
    };
    const auto lines = log.lines();
    const bool debug = level == kestrum::Logging::LogLevel::debug;
    // In this order, each once.
    auto at = lines.begin();
    for (const auto& line : expected) {
      EXPECT_EQ(std::count(lines.begin(), lines.end(), line), debug ? 1 : 0) << line;
      if (!debug) continue;
      at = std::find(at, lines.end(), line);
      EXPECT_NE(at, lines.end()) << line << " out of order";
    }
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Decoding Temperature: 0.0"), 1);  // an info line
    for (const char* prefix : {"Decoder init time: ", "Prefill time: "}) {
      const auto found = log.containing(prefix);
      ASSERT_EQ(found.size(), debug ? 1u : 0u) << prefix;
      if (debug) {
        EXPECT_GE(std::strtod(found[0].c_str() + std::strlen(prefix), nullptr), 0.0) << found[0];
      }
    }
  }
}

// A seeker that never moves the seek.
class StuckSeeker : public SegmentSeeker {
 public:
  std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
      const DecodingResult& r, const DecodingOptions& o, std::int64_t count, std::int64_t seek, std::int64_t size,
      std::int64_t rate, std::int64_t time, std::int64_t special, const WhisperTokenizer& t) override {
    return {seek, SegmentSeeker::findSeekPointAndSegments(r, o, count, seek, size, rate, time, special, t).second};
  }
};

TEST(TranscribeTaskTest, WindowThatDoesNotAdvanceIsConsumed) {
  for (bool stuckSeeker : {false, true}) {
    SCOPED_TRACE(stuckSeeker ? "seeker that never advances" : "[SOT, <|0.00|>, <|0.00|>, EOT]");
    Harness h;
    if (stuckSeeker) h.seeker = std::make_shared<StuckSeeker>();
    auto decoder = h.decoder<ResultsDecoder>();
    decoder->results.push_back(tokensResult({kWordStart, T, T, kWordEnd}));
    auto task = h.task(decoder);
    const auto result = task->run(seconds(40));  // two windows, each used up once
    EXPECT_EQ(h.extractor->windows.size(), 2u);
    EXPECT_EQ(decoder->temperatures.size(), 2u);
    EXPECT_EQ(result.segments().size(), 2u);
  }
  // A window limit of 0 would hold the seek as well.
  Harness h;
  auto decoder = h.decoder<ResultsDecoder>();
  decoder->results.push_back(tokensResult({kWordStart, T, 0, ts(50), ts(50), kWordEnd}));
  DecodingOptions options;
  options.maxWindowSeek = 0;
  h.task(decoder)->run(seconds(10), options);
  EXPECT_EQ(h.extractor->windows.size(), 1u);
}

TEST(TranscribeTaskTest, MaxWindowSeekLimitsEachAdvance) {
  Harness h;
  auto decoder = h.decoder<ResultsDecoder>();
  decoder->results.push_back(tokensResult({kWordStart, T, 0, kWordEnd}));  // would consume 30 s
  DecodingOptions options;
  options.maxWindowSeek = 160000;
  const auto segments = h.task(decoder)->run(seconds(31), options).segments();
  // Seeks 0, 10 and 20 s; at 30 s only the last second (the clip margin) is left.
  ASSERT_EQ(segments.size(), 3u);
  EXPECT_EQ(segments[2].seek, 320000);
}

TEST(TranscribeTaskTest, InputsAreResetAfterASilentWindow) {
  Harness h;
  auto decoder = h.decoder<ResultsDecoder>();
  auto silent = tokensResult({kWordStart, T, kWordEnd});
  silent.noSpeechProb = 0.9f;
  silent.avgLogProb = -2.0f;
  decoder->results = {silent, tokensResult({kWordStart, T, 0, kWordEnd})};
  auto task = h.task(decoder);
  DecodingOptions options;
  options.usePrefillPrompt = false;
  const auto result = task->run(seconds(40), options);
  EXPECT_EQ(decoder->cacheAtEntry, (std::vector<std::int64_t>{0, 0}));
  ASSERT_EQ(result.segments().size(), 1u);
  EXPECT_EQ(result.segments()[0].seek, 480000);  // the silent window's advance applies
  EXPECT_EQ(task->timings().totalDecodingWindows, 1);
}

// The scripted model's no-speech belief after the start of transcript drives the window rules: a
// silent window that is also unsure is skipped and not retried, a silent but sure one is kept, and
// unsure speech is retried at the next temperature.
TEST(TranscribeTaskTest, ModelsNoSpeechProbabilitySkipsSilentWindowsAndEndsTheirFallbacks) {
  constexpr std::int64_t kNoSpeech = 49;
  struct Case {
    const char* name;
    float noSpeech, textLogProb;
    std::size_t segments;
    std::int64_t attempts;
  };
  const Case cases[] = {
      {"silent and unsure: skipped", 0.9f, -3.5f, 0, 1},
      {"silent but sure: kept", 0.9f, -0.01f, 1, 1},
      {"unsure speech: retried", 0.1f, -3.5f, 1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.fake.script[0] = ScriptedStep(kNoSpeech).withLogProb(std::log(c.noSpeech));
    h.fake.script[1] = ScriptedStep(10).withLogProb(-1.0f);  // above the first-token threshold
    for (std::int64_t i = 2; i <= 5; ++i) h.fake.script[i] = ScriptedStep(9 + i).withLogProb(c.textLogProb);
    h.fake.script[6] = ScriptedStep(kWordEnd);
    auto task = h.task(h.decoder<TextDecoder>());
    DecodingOptions options;
    options.withoutTimestamps = true;
    options.temperatureFallbackCount = 1;
    const auto result = task->run(seconds(2), options);
    EXPECT_TRUE(h.fake.faults().empty()) << h.fake.faults().front();
    std::int64_t attempts = 0;
    for (const auto& call : h.fake.calls()) attempts += call.position == 0;
    EXPECT_EQ(attempts, c.attempts);
    const auto segments = result.segments();
    ASSERT_EQ(segments.size(), c.segments);
    for (const auto& s : segments) EXPECT_NEAR(s.noSpeechProb, c.noSpeech, 0.01f);
  }
}

TEST(TranscribeTaskTest, ClipsAreKeptInsideTheAudio) {
  struct Case {
    const char* name;
    std::vector<float> clips;
    float windowClipTime;
    std::vector<std::int64_t> seeks;  // of the decoded windows
  };
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const Case cases[] = {
      {"clip from 2 s to 5 s", {2.0f, 5.0f}, 1.0f, {32000}},
      {"clip end beyond the audio", {2.0f, 500.0f}, 1.0f, {32000}},
      {"clip entirely beyond the audio", {50.0f, 60.0f}, 1.0f, {}},
      {"odd count runs to the end", {4.0f}, 1.0f, {64000}},
      {"non-finite clip values", {nan, inf}, 1.0f, {0}},
      {"no clip margin", {}, 0.0f, {0}},
      {"non-finite clip margin", {}, nan, {0}},
      {"clip margin beyond the audio", {}, inf, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    auto decoder = h.decoder<ResultsDecoder>();
    decoder->results.push_back(tokensResult({kWordStart, T, 0, kWordEnd}));
    DecodingOptions options;
    options.clipTimestamps = c.clips;
    options.windowClipTime = c.windowClipTime;
    auto task = h.task(decoder);
    const auto segments = task->run(seconds(10), options).segments();
    std::vector<std::int64_t> seeks;
    for (const auto& s : segments) seeks.push_back(s.seek);
    EXPECT_EQ(seeks, c.seeks);
    EXPECT_EQ(task->progress()->completedUnitCount(), task->progress()->totalUnitCount());
  }
}

// Word timing that collapses the chosen segments to start == end.
class CollapsingSeeker : public SegmentSeeker {
 public:
  explicit CollapsingSeeker(std::set<std::int64_t> ids) : ids_(std::move(ids)) {}
  std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
      const std::vector<TranscriptionSegment>& segments, const MLMultiArray&, const WhisperTokenizer&, std::int64_t,
      std::int64_t, const std::string&, const std::string&, float, const DecodingOptions&, const TranscriptionTimings&,
      std::int64_t) override {
    auto out = segments;
    for (auto& s : out)
      if (ids_.count(s.id)) s.end = s.start;
    return out;
  }

 private:
  std::set<std::int64_t> ids_;
};

TEST(TranscribeTaskTest, SegmentsWithoutDurationAreDroppedWithWordTimestamps) {
  struct Case {
    const char* name;
    std::set<std::int64_t> collapsed;
    std::string text;
    std::size_t segments;
  } cases[] = {
      {"first of two collapses", {0}, "world", 1},
      {"every segment collapses: the window's list is empty", {0, 1}, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.seeker = std::make_shared<CollapsingSeeker>(c.collapsed);
    h.fake.script[0] = ScriptedStep(3);
    h.fake.script[1] = ScriptedStep(0).withAlignmentFrame(1);
    h.fake.script[2] = ScriptedStep(ts(50)).withAlignmentFrame(2);
    h.fake.script[3] = ScriptedStep(ts(50));
    h.fake.script[4] = ScriptedStep(2);
    h.fake.script[5] = ScriptedStep(ts(75));
    h.fake.script[6] = ScriptedStep(kWordEnd);
    auto task = h.task(h.decoder<TextDecoder>());
    std::vector<std::size_t> discovered;
    task->segmentDiscoveryCallback = [&](const std::vector<TranscriptionSegment>& s) { discovered.push_back(s.size()); };
    DecodingOptions options;
    options.wordTimestamps = true;
    const auto result = task->run(seconds(2), options);
    EXPECT_EQ(result.text(), c.text);
    EXPECT_EQ(result.segments().size(), c.segments);
    for (const auto& s : result.segments()) EXPECT_LT(s.start, s.end);
    EXPECT_EQ(discovered, std::vector<std::size_t>{c.segments});  // called also with an empty list
    EXPECT_EQ(task->timings().totalDecodingWindows, 1);
    EXPECT_EQ(task->timings().totalTimestampAlignmentRuns, 1);
  }
}

// Words of a window " Hello", ",", " world" decoded after `prompt` (shifting every position).
std::vector<WordTiming> wordsAfterPrompt(const std::optional<Tokens>& prompt) {
  Harness h;
  const std::int64_t shift = prompt ? 1 + static_cast<std::int64_t>(prompt->size()) : 0;
  for (std::int64_t q = 0; q < shift; ++q) h.fake.script[q] = ScriptedStep(3);  // replaced by the prompt
  h.fake.script[shift + 0] = ScriptedStep(3).withAlignmentFrame(1);
  h.fake.script[shift + 1] = ScriptedStep(0).withAlignmentFrame(2);
  h.fake.script[shift + 2] = ScriptedStep(1).withAlignmentFrame(3);
  h.fake.script[shift + 3] = ScriptedStep(2).withAlignmentFrame(5);
  h.fake.script[shift + 4] = ScriptedStep(ts(50)).withAlignmentFrame(6);
  h.fake.script[shift + 5] = ScriptedStep(kWordEnd).withAlignmentFrame(7);
  DecodingOptions options;
  options.wordTimestamps = true;
  options.promptTokens = prompt;
  const auto result = h.task(h.decoder<TextDecoder>())->run(seconds(2), options);
  return result.allWords();
}

TEST(TranscribeTaskTest, WordTimingAfterAPromptReadsTheTranscriptRows) {
  const auto plain = wordsAfterPrompt(std::nullopt);
  ASSERT_EQ(plain.size(), 2u);
  EXPECT_EQ(plain[0].word, " Hello,");
  EXPECT_EQ(plain[1].word, " world");
  const auto prompted = wordsAfterPrompt(Tokens{10, 11});
  ASSERT_EQ(prompted.size(), plain.size());
  for (std::size_t i = 0; i < plain.size(); ++i) {
    EXPECT_EQ(prompted[i].word, plain[i].word);
    EXPECT_EQ(prompted[i].start, plain[i].start) << i;
    EXPECT_EQ(prompted[i].end, plain[i].end) << i;
  }
}

// The last word of the second window of 40 s decoded without timestamps, the window ending on
// text: " Hello world" then the end, whose step writes no alignment row. The first window decodes
// the same, or three words whose last one is strongly aligned to an early frame.
WordTiming lastWordOfSecondWindow(bool otherFirstWindow) {
  Harness h;
  auto script = [&](bool other) {
    h.fake.script.clear();
    h.fake.script[0] = ScriptedStep(3);
    if (other) {
      h.fake.script[1] = ScriptedStep(10).withAlignmentFrame(1);
      h.fake.script[2] = ScriptedStep(11).withAlignmentFrame(1);
      h.fake.script[3] = ScriptedStep(12).withAlignmentFrame(1, 4);  // row 4: the end's row below
      h.fake.script[4] = ScriptedStep(kWordEnd);
    } else {
      h.fake.script[1] = ScriptedStep(0).withAlignmentFrame(1);
      h.fake.script[2] = ScriptedStep(2).withAlignmentFrame(5);
      h.fake.script[3] = ScriptedStep(kWordEnd);
    }
  };
  script(otherFirstWindow);
  auto task = h.task(h.decoder<TextDecoder>());
  task->segmentDiscoveryCallback = [&](const std::vector<TranscriptionSegment>&) { script(false); };
  DecodingOptions options;
  options.withoutTimestamps = true;
  options.wordTimestamps = true;
  const auto segments = task->run(seconds(40), options).segments();
  EXPECT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments.back().text, "<|startoftranscript|><|notimestamps|> Hello world<|endoftext|>");
  const auto words = segments.back().words.value_or(std::vector<WordTiming>{});
  return words.empty() ? WordTiming{} : words.back();
}

TEST(TranscribeTaskTest, EachAttemptAlignsWordsOnACleanTable) {
  const auto afterSame = lastWordOfSecondWindow(false);
  const auto afterOther = lastWordOfSecondWindow(true);
  EXPECT_EQ(afterSame.word, " world");
  EXPECT_EQ(afterOther.word, afterSame.word);
  EXPECT_EQ(afterOther.start, afterSame.start);
  EXPECT_EQ(afterOther.end, afterSame.end);
}

TEST(TranscribeTaskTest, CancellationStopsBetweenWindowsKeepingTheTimings) {
  Harness h;
  auto decoder = h.decoder<ResultsDecoder>();
  decoder->results.push_back(tokensResult({kWordStart, T, 0, kWordEnd}));
  auto task = h.task(decoder);
  std::stop_source source;
  kestrum::StopTokenScope scope(source.get_token());
  std::size_t delivered = 0;
  task->segmentDiscoveryCallback = [&](const std::vector<TranscriptionSegment>& s) {
    delivered += s.size();
    source.request_stop();
  };
  EXPECT_THROW(task->run(seconds(65)), kestrum::CancellationError);
  EXPECT_EQ(delivered, 1u);
  EXPECT_EQ(h.extractor->windows.size(), 1u);  // the second window stopped before its log-mel step
  EXPECT_EQ(task->timings().totalDecodingWindows, 1);
  EXPECT_EQ(task->timings().totalAudioProcessingRuns, 2);
}

TEST(TranscribeTaskTest, ProgressCallbackSeesTheWindowNumber) {
  Harness h;
  h.fake.script[0] = ScriptedStep(3);  // after the start: replaced by the prompt
  h.fake.script[1] = ScriptedStep(0);
  h.fake.script[2] = ScriptedStep(kWordEnd);
  auto task = h.task(h.decoder<TextDecoder>());
  DecodingOptions options;
  options.withoutTimestamps = true;
  std::vector<std::int64_t> windowIds;
  task->run(seconds(40), options, [&](const TranscriptionProgress& p) -> std::optional<bool> {
    windowIds.push_back(p.windowId);
    return std::nullopt;
  });
  ASSERT_FALSE(windowIds.empty());
  EXPECT_EQ(windowIds.front(), 0);
  EXPECT_EQ(windowIds.back(), 1);
}

TEST(TranscribeTaskTest, FinalTextSkipsSpecialTokensAndDefaultsToEnglish) {
  Harness h;
  auto task = h.task(h.decoder<TextDecoder>());
  const auto result = task->finalizeTranscriptionResult({kWordStart, 0, T, 1, kWordEnd}, {}, std::nullopt, {});
  EXPECT_EQ(result.text(), "Hello,");
  EXPECT_EQ(result.language(), "en");
  EXPECT_EQ(task->finalizeTranscriptionResult({kWordStart, kWordEnd}, {}, std::string("de"), {}).text(), "");
  EXPECT_EQ(task->finalizeTranscriptionResult({kWordStart, kWordEnd}, {}, std::string("de"), {}).language(), "de");
}

}  // namespace
}  // namespace murmel
