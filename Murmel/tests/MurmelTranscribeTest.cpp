// The engine's transcribe operations and language detection.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "KestrumCore/Concurrency.h"
#include "KestrumCore/tests/LogCapture.h"
#include "Murmel/audio/AudioChunker.h"
#include "Murmel/common/WhisperError.h"
#include "Murmel/Murmel.h"
#include "Murmel/tests/MurmelFixtures.h"
#include "Murmel/tests/ScriptedDecoder.h"
#include "Murmel/tests/SeekerFixtures.h"
#include "platform/Audio/AudioFileWriter.h"
#include "platform/ML/ModelFolders.h"
#include "testsupport/Fixtures.h"

namespace murmel {
namespace {

namespace fs = std::filesystem;
using kestrum::ModelState;
using testing::EngineStages;
using testsupport::LogCapture;
using testing::ModelFolderStub;
using testing::RecordingAudioProcessor;
using testing::RecordingDecoder;
using testing::ScriptedDecoderShape;
using testing::ScriptedStep;

std::string errorText(const TranscriptionResultsOrError& outcome) {
  const auto* error = std::get_if<std::exception_ptr>(&outcome);
  if (!error) return "";
  try {
    std::rethrow_exception(*error);
  } catch (const std::exception& e) {
    return e.what();
  }
}

std::string textOf(const TranscriptionResultsOrError& outcome) {
  const auto* results = std::get_if<TranscriptionResults>(&outcome);
  if (!results) return "error: " + errorText(outcome);
  std::string text;
  for (const auto& result : *results) text += result->text();
  return text;
}

void writeWav(const fs::path& path, const std::vector<std::vector<float>>& channels) {
  platform::audio::writeAudioFile(path, 16000, channels, platform::audio::AudioFileType::wavFloat);
}

std::vector<float> constant(double seconds, float value) {
  return std::vector<float>(static_cast<std::size_t>(seconds * 16000), value);
}

// ---- over the scripted decoder ------------------------------------------------------------------

ScriptedDecoderShape scriptedShape() {
  ScriptedDecoderShape shape;
  shape.vocabulary = 151;  // the seeker tokenizer's ids, timestamps included
  return shape;
}

// An engine whose first transcription loads the recording stages; the tokenizer is set, so none is
// loaded. Each window decodes " Hello" <|1.00|> <|1.00|> " world" <|1.50|>.
struct ScriptedEngine {
  ScriptedEngine() {
    auto& script = stages.fake.script;
    script[0] = ScriptedStep(3);  // after the start: replaced by the prompt
    script[1] = ScriptedStep(0);
    script[2] = ScriptedStep(testing::kWordTime + 50);
    script[3] = ScriptedStep(testing::kWordTime + 50);
    script[4] = ScriptedStep(2);
    script[5] = ScriptedStep(testing::kWordTime + 75);
    script[6] = ScriptedStep(testing::kWordEnd);
  }
  template <class Engine = Murmel>
  std::shared_ptr<Engine> make() {
    auto engine = Murmel::create<Engine>(stages.config(folder.path()));
    engine->setTokenizer(testing::seekerTokenizer());
    return engine;
  }
  EngineStages stages{scriptedShape()};
  ModelFolderStub folder;
  testsupport::TempDir audio;
};

TEST(MurmelTranscribeTest, AFileIsLoadedThenTranscribedAfterTheModelsLoadOnFirstUse) {
  ScriptedEngine h;
  auto engine = h.make();
  std::vector<TranscriptionState> states;
  engine->setTranscriptionStateCallback([&](TranscriptionState s) { states.push_back(s); });
  const fs::path wav = h.audio.path() / "three.wav";
  writeWav(wav, {constant(3, 0.01f)});
  const auto progressBefore = engine->progress();
  ASSERT_EQ(engine->modelState(), ModelState::unloaded);

  const TranscriptionResults results = engine->transcribe(wav.string());
  ASSERT_EQ(results.size(), 1u);  // no chunking without options
  // Windows at 0 s and at 1.5 s, as the script places the timestamps.
  EXPECT_EQ(results[0]->text(), "Hello world Hello world");
  EXPECT_EQ(states, (std::vector<TranscriptionState>{TranscriptionState::convertingAudio,
                                                     TranscriptionState::transcribing, TranscriptionState::finished}));
  EXPECT_EQ(engine->modelState(), ModelState::loaded);
  EXPECT_EQ(h.stages.log->lines().size(), 3u);
  const double loading = engine->currentTimings().audioLoading;
  EXPECT_GT(loading, 0);
  EXPECT_EQ(results[0]->timings().audioLoading, loading);  // the task's copy carries the load time
  // The finished run's progress object was replaced by a fresh one.
  EXPECT_NE(engine->progress(), progressBefore);
  EXPECT_EQ(engine->progress()->totalUnitCount(), 0);

  auto single = engine->transcribeSingle(wav.string());
  ASSERT_NE(single, nullptr);
  EXPECT_EQ(single->text(), "Hello world Hello world");
  EXPECT_EQ(h.stages.log->lines().size(), 3u);  // loaded once
}

TEST(MurmelTranscribeTest, AFileThatCannotBeReadFailsAfterConvertingAudioOnly) {
  ScriptedEngine h;
  auto engine = h.make();
  std::vector<TranscriptionState> states;
  engine->setTranscriptionStateCallback([&](TranscriptionState s) { states.push_back(s); });
  EXPECT_ANY_THROW(engine->transcribe((h.audio.path() / "missing.wav").string()));
  EXPECT_EQ(states, std::vector<TranscriptionState>{TranscriptionState::convertingAudio});
  EXPECT_EQ(engine->modelState(), ModelState::unloaded);
}

TEST(MurmelTranscribeTest, ManyFilesAnswerOnePathEachWhateverTheWorkerCount) {
  ScriptedEngine h;
  const fs::path good = h.audio.path() / "good.wav", missing = h.audio.path() / "missing.wav";
  writeWav(good, {constant(3, 0.01f)});
  const std::vector<std::string> paths{good.string(), missing.string(), good.string()};
  for (const std::optional<std::int64_t> workers : {std::optional<std::int64_t>{}, std::optional<std::int64_t>{2},
                                                     std::optional<std::int64_t>{0}, std::optional<std::int64_t>{-1}}) {
    auto engine = h.make();
    std::vector<TranscriptionState> states;
    engine->setTranscriptionStateCallback([&](TranscriptionState s) { states.push_back(s); });
    std::optional<DecodingOptions> options;
    if (workers) {
      options.emplace();
      options->concurrentWorkerCount = *workers;
    }
    const auto label = workers ? std::to_string(*workers) : std::string("no options");
    const auto outcomes = engine->transcribeWithResults(paths, options);
    ASSERT_EQ(outcomes.size(), 3u) << label;
    EXPECT_EQ(textOf(outcomes[0]), "Hello world Hello world") << label;
    EXPECT_TRUE(std::holds_alternative<std::exception_ptr>(outcomes[1])) << label;
    EXPECT_EQ(textOf(outcomes[2]), "Hello world Hello world") << label;
    EXPECT_EQ(states.size(), 3u) << label;
    EXPECT_GT(engine->currentTimings().audioLoading, 0) << label;

    const auto optional = engine->transcribe(paths, options);
    ASSERT_EQ(optional.size(), 3u) << label;
    EXPECT_TRUE(optional[0].has_value() && !optional[1].has_value() && optional[2].has_value()) << label;
  }
}

// Loads no tokenizer, so that its absence shows.
class NoTokenizerLoad : public Murmel {
 public:
  using Murmel::Murmel;
  void loadTokenizerIfNeeded() override { ++tokenizerLoads; }
  int tokenizerLoads = 0;
};

TEST(MurmelTranscribeTest, WithoutATokenizerAfterLoadingTranscriptionFails) {
  ScriptedEngine h;
  auto engine = Murmel::create<NoTokenizerLoad>(h.stages.config(h.folder.path()));
  try {
    engine->transcribe(constant(3, 0.01f));
    FAIL();
  } catch (const WhisperError& e) {
    EXPECT_EQ(e.kind(), WhisperError::Kind::tokenizerUnavailable);
    EXPECT_EQ(std::string(e.what()), "Tokenizer is unavailable");
  }
  EXPECT_EQ(engine->tokenizerLoads, 1);  // reached through the overridable entry
  EXPECT_EQ(engine->modelState(), ModelState::loaded);
}

TEST(MurmelTranscribeTest, ARunThatFailsOrIsCancelledReplacesTheProgress) {
  for (const bool cancelled : {true, false}) {
    ScriptedEngine h;
    h.stages.fake.damagedFromCall = 0;  // non-finite logits fail the decoding
    auto engine = h.make();
    engine->loadModels(false);
    const auto before = engine->progress();
    std::stop_source source;
    if (cancelled) source.request_stop();
    {
      kestrum::StopTokenScope scope(source.get_token());
      if (cancelled) {
        EXPECT_THROW(engine->transcribe(constant(3, 0.01f)), kestrum::CancellationError);
        EXPECT_TRUE(h.stages.extractor->windows.empty());
      } else {
        EXPECT_THROW(engine->transcribe(constant(3, 0.01f)), WhisperError);
      }
    }
    EXPECT_NE(engine->progress(), before) << cancelled;
    EXPECT_EQ(engine->progress()->totalUnitCount(), 0) << cancelled;
  }
}

// ---- batched fan-out ----------------------------------------------------------------------------

// Answers each array with its length as text; records concurrency, options, progress and segments.
class FanOutProbe : public Murmel {
 public:
  using Murmel::Murmel;
  using Murmel::transcribe;

  std::set<std::size_t> failing;                 // lengths that fail
  std::function<void(std::size_t)> beforeAnswer;  // runs inside the call, by length

  TranscriptionResults transcribe(const std::vector<float>& audioArray, const std::optional<DecodingOptions>& options,
                                  const DecodingCallback& callback, const SegmentDiscoveryCallback& segments) override {
    const std::size_t id = audioArray.size();
    {
      std::lock_guard hold(mutex);
      maxInFlight = std::max(maxInFlight, ++inFlight);
      events.push_back("start " + std::to_string(id));
      sampleLengths[id] = options ? options->sampleLength : -1;
    }
    if (beforeAnswer) beforeAnswer(id);
    TranscriptionProgress report;
    report.windowId = 99;
    const std::optional<bool> answer = callback ? callback(report) : std::optional<bool>(false);
    TranscriptionSegment segment;
    segment.seek = 10;
    segment.text = std::to_string(id);
    if (segments) segments({segment});
    {
      std::lock_guard hold(mutex);
      --inFlight;
      events.push_back("end " + std::to_string(id));
      callbackAnswers[id] = answer;
      ended.notify_all();
    }
    if (failing.count(id)) throw WhisperError::decodingFailed("failed " + std::to_string(id));
    return {std::make_shared<TranscriptionResult>(std::to_string(id))};
  }

  std::mutex mutex;
  std::condition_variable ended;
  int inFlight = 0, maxInFlight = 0;
  std::vector<std::string> events;
  std::map<std::size_t, std::int64_t> sampleLengths;
  std::map<std::size_t, std::optional<bool>> callbackAnswers;
};

MurmelConfig quietConfig() {
  MurmelConfig config;
  config.download = false;
  config.verbose = false;
  return config;
}

// Arrays of lengths 1 ... n, so that each is known by its length.
std::vector<std::vector<float>> arraysOfLengths(std::size_t n) {
  std::vector<std::vector<float>> arrays;
  for (std::size_t i = 1; i <= n; ++i) arrays.emplace_back(i, 0.0f);
  return arrays;
}

std::size_t position(const std::vector<std::string>& events, const std::string& event) {
  return static_cast<std::size_t>(std::find(events.begin(), events.end(), event) - events.begin());
}

TEST(MurmelTranscribeTest, FanOutRunsBatchesOneAfterAnotherAndAnswersInInputOrder) {
  auto probe = Murmel::create<FanOutProbe>(quietConfig());
  probe->failing = {3};
  std::vector<std::pair<std::string, std::int64_t>> segments;
  std::mutex segmentsMutex;
  probe->setSegmentDiscoveryCallback([&](const std::vector<TranscriptionSegment>& found) {
    std::lock_guard hold(segmentsMutex);
    for (const auto& s : found) segments.emplace_back(s.text, s.seek);
  });
  std::map<std::int64_t, int> windowIds;  // windowId => reports
  std::mutex windowMutex;
  const DecodingCallback callback = [&](const TranscriptionProgress& report) -> std::optional<bool> {
    std::lock_guard hold(windowMutex);
    ++windowIds[report.windowId];
    return true;
  };
  std::vector<std::optional<DecodingOptions>> options(5);
  for (std::size_t i = 0; i < 5; ++i) {
    options[i].emplace();
    options[i]->concurrentWorkerCount = 2;
    options[i]->sampleLength = 100 + static_cast<std::int64_t>(i);
  }
  const std::vector<std::int64_t> offsets{0, 1000, 2000, 3000, 4000};

  const auto outcomes = probe->transcribeWithOptions(arraysOfLengths(5), options, offsets, callback);
  ASSERT_EQ(outcomes.size(), 5u);
  EXPECT_EQ(textOf(outcomes[0]), "1");
  EXPECT_EQ(textOf(outcomes[1]), "2");
  EXPECT_EQ(errorText(outcomes[2]), "failed 3");  // recorded; the others go on
  EXPECT_EQ(textOf(outcomes[3]), "4");
  EXPECT_EQ(textOf(outcomes[4]), "5");

  EXPECT_LE(probe->maxInFlight, 2);
  // Batches {1, 2}, {3, 4}, {5}: a batch starts after every array of the one before has ended.
  const std::vector<std::vector<std::size_t>> batches{{1, 2}, {3, 4}, {5}};
  for (std::size_t b = 1; b < batches.size(); ++b)
    for (std::size_t earlier : batches[b - 1])
      for (std::size_t later : batches[b])
        EXPECT_LT(position(probe->events, "end " + std::to_string(earlier)),
                  position(probe->events, "start " + std::to_string(later)));
  for (std::size_t id = 1; id <= 5; ++id) {
    EXPECT_EQ(probe->sampleLengths[id], 99 + static_cast<std::int64_t>(id)) << id;  // its own options
    EXPECT_EQ(probe->callbackAnswers[id], true) << id;
  }
  // Each report carries its input's position; each segment its input's seek offset.
  EXPECT_EQ(windowIds, (std::map<std::int64_t, int>{{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}}));
  std::sort(segments.begin(), segments.end());
  EXPECT_EQ(segments, (std::vector<std::pair<std::string, std::int64_t>>{
                          {"1", 10}, {"2", 1010}, {"3", 2010}, {"4", 3010}, {"5", 4010}}));
}

TEST(MurmelTranscribeTest, ArraysThatFinishInReverseOrderComeBackInInputOrder) {
  auto probe = Murmel::create<FanOutProbe>(quietConfig());
  probe->beforeAnswer = [&](std::size_t id) {
    if (id != 1) return;
    std::unique_lock hold(probe->mutex);
    probe->ended.wait_for(hold, std::chrono::seconds(10), [&] { return probe->callbackAnswers.count(2) > 0; });
  };
  const auto outcomes = probe->transcribeWithResults(arraysOfLengths(2), std::nullopt);
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(textOf(outcomes[0]), "1");
  EXPECT_EQ(textOf(outcomes[1]), "2");
  EXPECT_LT(position(probe->events, "end 2"), position(probe->events, "end 1"));
}

TEST(MurmelTranscribeTest, AWorkerCountOfZeroOrLessRunsOneArrayAtATime) {
  for (const std::int64_t workers : {0, -3}) {
    auto probe = Murmel::create<FanOutProbe>(quietConfig());
    // Long enough for concurrent arrays to overlap.
    probe->beforeAnswer = [](std::size_t) { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
    DecodingOptions options;
    options.concurrentWorkerCount = workers;
    const auto outcomes = probe->transcribeWithResults(arraysOfLengths(5), options);
    ASSERT_EQ(outcomes.size(), 5u) << workers;
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(textOf(outcomes[i]), std::to_string(i + 1)) << workers;
    EXPECT_EQ(probe->maxInFlight, 1) << workers;
    // No progress callback given: each array still gets one, answering nothing.
    EXPECT_EQ(probe->callbackAnswers[1], std::nullopt) << workers;
  }
}

TEST(MurmelTranscribeTest, UnbalancedInputsGiveOneFailureAndNoInputsNoOutcome) {
  auto probe = Murmel::create<FanOutProbe>(quietConfig());
  const auto arrays = arraysOfLengths(2);
  struct Case {
    std::size_t options;
    std::optional<std::vector<std::int64_t>> offsets;
    std::string error;
  };
  const Case cases[] = {
      {1, std::nullopt, "The number of audio arrays and decoding options must be balanced."},
      {2, std::vector<std::int64_t>{0}, "The number of audio arrays and seek offset indexes must be balanced."},
  };
  for (const auto& c : cases) {
    const auto outcomes =
        probe->transcribeWithOptions(arrays, std::vector<std::optional<DecodingOptions>>(c.options), c.offsets);
    ASSERT_EQ(outcomes.size(), 1u) << c.error;
    EXPECT_EQ(errorText(outcomes[0]), c.error);
  }
  EXPECT_TRUE(probe->transcribeWithOptions({}, {}).empty());
  EXPECT_TRUE(probe->events.empty());
}

// ---- voice-activity chunking --------------------------------------------------------------------

// Runs no model: each chunk answers one segment at 0.5 ... 1.0 s, or fails when its loudest
// sample is `failingLevel`.
class ChunkProbe : public Murmel {
 public:
  using Murmel::Murmel;
  float failingLevel = -1;

  TranscriptionResults runTranscribeTask(const std::vector<float>& audioArray, const std::optional<DecodingOptions>& options,
                                         const DecodingCallback&, const SegmentDiscoveryCallback& segmentCallback) override {
    float level = 0;
    for (float x : audioArray) level = std::max(level, std::fabs(x));
    {
      std::lock_guard hold(mutex);
      calls.push_back(audioArray.size());
      clipTimestamps.push_back(options ? options->clipTimestamps : std::vector<float>{});
    }
    TranscriptionSegment segment;
    segment.start = 0.5f;
    segment.end = 1.0f;
    segment.text = std::to_string(level);
    if (segmentCallback) segmentCallback({segment});
    if (std::fabs(level - failingLevel) < 1e-6f) throw WhisperError::decodingFailed("chunk failed");
    return {std::make_shared<TranscriptionResult>(segment.text, std::vector<TranscriptionSegment>{segment})};
  }

  std::mutex mutex;
  std::vector<std::size_t> calls;
  std::vector<std::vector<float>> clipTimestamps;
};

constexpr std::int64_t kWindow = 48000;  // 3 s windows keep the arrays small

// Speech at 0.3, 0.5 and 0.7 separated by 0.6 s silences: 8 s, cut into three chunks.
std::vector<float> threeUtterances() {
  std::vector<float> audio;
  const auto add = [&](double seconds, float level) {
    const auto part = constant(seconds, level);
    audio.insert(audio.end(), part.begin(), part.end());
  };
  add(2.2, 0.3f);
  add(0.6, 0.0f);
  add(2.1, 0.5f);
  add(0.6, 0.0f);
  add(2.5, 0.7f);
  return audio;
}

TEST(MurmelTranscribeTest, ChunkedAudioAnswersOneResultPerChunkAndKeepsAFailedChunkInPlace) {
  EngineStages stages({}, kWindow);
  auto probe = Murmel::create<ChunkProbe>(stages.config(std::nullopt));
  probe->failingLevel = 0.5f;
  std::vector<std::int64_t> discoveredSeeks;
  std::mutex discoveredMutex;
  probe->setSegmentDiscoveryCallback([&](const std::vector<TranscriptionSegment>& found) {
    std::lock_guard hold(discoveredMutex);
    for (const auto& s : found) discoveredSeeks.push_back(s.seek);
  });
  bool argumentCallbackUsed = false;

  const auto audio = threeUtterances();
  DecodingOptions options;
  options.chunkingStrategy = ChunkingStrategy::vad;
  options.clipTimestamps = {0.0f};
  const auto chunks = VADAudioChunker(16000, std::make_shared<EnergyVAD>()).chunkAll(audio, kWindow, options);
  ASSERT_EQ(chunks.size(), 3u);
  ASSERT_GT(chunks[1].seekOffsetIndex, 0);

  LogCapture errors(Logging::LogLevel::error);
  const auto results = probe->transcribe(audio, options, {}, [&](const std::vector<TranscriptionSegment>&) {
    argumentCallbackUsed = true;
  });

  ASSERT_EQ(results.size(), 3u);
  for (std::size_t i : {0u, 2u}) {
    const auto segments = results[i]->segments();
    ASSERT_EQ(segments.size(), 1u) << i;
    const float offset = static_cast<float>(chunks[i].seekOffsetIndex) / 16000.0f;
    EXPECT_FLOAT_EQ(segments[0].start, 0.5f + offset) << i;
    EXPECT_EQ(segments[0].seek, chunks[i].seekOffsetIndex) << i;
  }
  const auto* failed = dynamic_cast<const FailedChunkResult*>(results[1].get());
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(failed->chunkIndex(), 1);
  EXPECT_EQ(failed->seekOffsetIndex(), chunks[1].seekOffsetIndex);
  EXPECT_EQ(failed->errorDescription(), "chunk failed");
  EXPECT_EQ(failed->text(), "");
  EXPECT_THAT(errors.lines(), ::testing::Contains(::testing::HasSubstr("Error transcribing chunk 1: chunk failed")));

  // Each chunk was transcribed whole; its segments reached the engine's callback shifted.
  for (const auto& clips : probe->clipTimestamps) EXPECT_TRUE(clips.empty());
  std::sort(discoveredSeeks.begin(), discoveredSeeks.end());
  EXPECT_EQ(discoveredSeeks, (std::vector<std::int64_t>{chunks[0].seekOffsetIndex, chunks[1].seekOffsetIndex,
                                                        chunks[2].seekOffsetIndex}));
  EXPECT_FALSE(argumentCallbackUsed);
}

TEST(MurmelTranscribeTest, OnlyAudioLongerThanOneWindowIsChunked) {
  EngineStages stages({}, kWindow);
  const auto audio = threeUtterances();
  struct Case {
    std::size_t length;
    std::optional<ChunkingStrategy> strategy;
    std::size_t calls;
  };
  for (const Case& c : {Case{kWindow, ChunkingStrategy::vad, 1}, Case{audio.size(), ChunkingStrategy::none, 1},
                        Case{audio.size(), std::nullopt, 1}, Case{audio.size(), ChunkingStrategy::vad, 3}}) {
    auto probe = Murmel::create<ChunkProbe>(stages.config(std::nullopt));
    DecodingOptions options;
    options.chunkingStrategy = c.strategy;
    const std::vector<float> samples(audio.begin(), audio.begin() + static_cast<std::ptrdiff_t>(c.length));
    EXPECT_EQ(probe->transcribe(samples, options).size(), c.calls) << c.length;
    EXPECT_EQ(probe->calls.size(), c.calls) << c.length;
    if (c.calls == 1) {
      EXPECT_EQ(probe->calls[0], c.length);
    }
  }
}

// ---- language detection -------------------------------------------------------------------------

// Detection answers `language`, or fails when there is none; `cancelled` makes it see a cancelled
// task, `noInputs` leaves it without decoder inputs.
class DetectingDecoder : public RecordingDecoder {
 public:
  using RecordingDecoder::RecordingDecoder;
  std::optional<std::string> language;
  bool cancelled = false, noInputs = false;
  std::shared_ptr<DecodingInputs> prepareDecoderInputs(const std::vector<std::int64_t>& prompt) override {
    return noInputs ? nullptr : RecordingDecoder::prepareDecoderInputs(prompt);
  }
  DecodingResult detectLanguage(const AudioEncoderOutputType&, DecodingInputsType&, TokenSampling&,
                                const DecodingOptions&, platform::ml::Float16) override {
    if (cancelled) throw kestrum::CancellationError();
    if (!language) throw WhisperError::decodingFailed("decoder broke");
    DecodingResult result;
    result.language = *language;
    result.languageProbs = {{*language, 0.875f}, {"en", 0.125f}};
    return result;
  }
};

struct DetectionEngine {
  explicit DetectionEngine(bool multilingual = true, bool withTokenizer = true) {
    decoder->setModel(stages.fake.decoderModel());
    decoder->setIsModelMultilingual(multilingual);
    decoder->language = "de";
    MurmelConfig config = stages.config(folder.path());
    config.textDecoder = decoder;
    config.audioProcessor = audio;
    config.audioInputConfig = AudioInputConfig{ChannelMode::specificChannel(0)};
    engine = Murmel::create<NoTokenizerLoad>(config);
    if (withTokenizer) engine->setTokenizer(testing::seekerTokenizer());
  }
  EngineStages stages{scriptedShape()};
  std::shared_ptr<DetectingDecoder> decoder = std::make_shared<DetectingDecoder>(stages.log);
  std::shared_ptr<RecordingAudioProcessor> audio = std::make_shared<RecordingAudioProcessor>();
  ModelFolderStub folder;
  std::shared_ptr<NoTokenizerLoad> engine;
};

TEST(MurmelTranscribeTest, LanguageDetectionScoresTheFirstWindowOnly) {
  DetectionEngine h;
  const auto detected = h.engine->detectLangauge(constant(1, 0.1f));
  EXPECT_EQ(detected.language, "de");
  EXPECT_EQ(detected.langProbs, (std::map<std::string, float>{{"de", 0.875f}, {"en", 0.125f}}));
  EXPECT_EQ(h.engine->modelState(), ModelState::loaded);
  ASSERT_EQ(h.audio->inputs.size(), 1u);
  EXPECT_EQ(h.audio->inputs[0].first, 16000u);
  EXPECT_EQ(h.stages.extractor->windows, std::vector<std::int64_t>{480000});  // padded to a window

  // A stereo file of 35 s: only the first 30 s are read, all channels summed although the engine
  // is set to channel 0 (the mix peaks at the louder channel's level).
  testsupport::TempDir dir;
  const fs::path wav = dir.path() / "stereo.wav";
  writeWav(wav, {constant(35, 0.05f), constant(35, 0.25f)});
  EXPECT_EQ(h.engine->detectLanguage(wav.string()).language, "de");
  ASSERT_EQ(h.audio->inputs.size(), 2u);
  EXPECT_EQ(h.audio->inputs[1].first, 480000u);
  EXPECT_NEAR(h.audio->inputs[1].second, 0.25f, 0.01f);
}

TEST(MurmelTranscribeTest, LanguageDetectionFailuresSayWhy) {
  struct Case {
    const char* name;
    bool multilingual, tokenizer, decoderWorks;
    const char* path;  // a file to read, or none: samples
    WhisperError::Kind kind;
    std::string message;
  };
  const Case cases[] = {
      {"missing file", true, true, true, "/nonexistent/talk.wav", WhisperError::Kind::loadAudioFailed,
       "Resource path does not exist /nonexistent/talk.wav"},
      {"English-only model", false, true, true, nullptr, WhisperError::Kind::decodingFailed,
       "Language detection not supported for this model"},
      {"no tokenizer", true, false, true, nullptr, WhisperError::Kind::tokenizerUnavailable, "Tokenizer is unavailable"},
      {"decoder fails", true, true, false, nullptr, WhisperError::Kind::decodingFailed, "Language detection failed"},
  };
  for (const auto& c : cases) {
    DetectionEngine h(c.multilingual, c.tokenizer);
    if (!c.decoderWorks) h.decoder->language.reset();
    try {
      if (c.path) h.engine->detectLanguage(c.path);
      else h.engine->detectLangauge(constant(1, 0.1f));
      FAIL() << c.name;
    } catch (const WhisperError& e) {
      EXPECT_EQ(e.kind(), c.kind) << c.name;
      EXPECT_EQ(std::string(e.what()), c.message) << c.name;
    }
    // The model and tokenizer checks come before any audio work.
    if (c.decoderWorks) {
      EXPECT_TRUE(h.stages.extractor->windows.empty()) << c.name;
    }
  }
}

// As in the window loop: a cancellation passes through unchanged, and missing decoder inputs are
// an error of their own.
TEST(MurmelTranscribeTest, LanguageDetectionPassesCancellationOnAndRefusesMissingInputs) {
  DetectionEngine cancelled;
  cancelled.decoder->cancelled = true;
  EXPECT_THROW(cancelled.engine->detectLangauge(constant(1, 0.1f)), kestrum::CancellationError);

  DetectionEngine noInputs;
  noInputs.decoder->noInputs = true;
  try {
    noInputs.engine->detectLangauge(constant(1, 0.1f));
    FAIL() << "no error";
  } catch (const WhisperError& e) {
    EXPECT_EQ(e.kind(), WhisperError::Kind::prepareDecoderInputsFailed);
    EXPECT_EQ(std::string(e.what()), "Unable to prepare decoder inputs");
  }
}

// ---- the real stages on tiny model folders ------------------------------------------------------

// Tiny real model folders with the tokenizer fixture, and an engine over them; `load` false leaves
// loading to the first transcription.
struct TinyRealEngine {
  TinyRealEngine() {
    d.nMels = 8, d.nAudioCtx = 12, d.nAudioState = d.nTextState = 16, d.nAudioHead = d.nTextHead = 4;
    d.nAudioLayer = d.nTextLayer = 1, d.nVocab = 51865, d.nTextCtx = 32, d.nFf = 32, d.kvCacheLength = 24;
    platform::ml::writeModelFolders(dir.path() / "models", d, platform::ml::randomWeights(d, 3));
  }
  std::shared_ptr<Murmel> make(bool load = true) const {
    MurmelConfig config;
    config.modelFolder = (dir.path() / "models").string();
    config.tokenizerFolder = tokenizer;
    config.modelEndpoint = "http://127.0.0.1:9";
    config.download = false;
    config.load = load;
    config.verbose = false;
    return Murmel::create(config);
  }
  fs::path tokenizer = testsupport::fixturesDir() / "tokenizers" / "whisper-tiny";
  testsupport::TempDir dir;
  platform::ml::WhisperDimensions d;
};

TEST(MurmelTranscribeTest, AFileRunsThroughTheRealStagesOfTinyModels) {
  TinyRealEngine tiny;
  if (!fs::exists(tiny.tokenizer / "tokenizer.json")) GTEST_SKIP() << "no tokenizer fixture at " << tiny.tokenizer;
  const fs::path wav = tiny.dir.path() / "talk.wav";
  std::vector<float> samples(32000);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = 0.3f * std::sin(0.05f * static_cast<float>(i));
  writeWav(wav, {samples});

  auto engine = tiny.make();
  ASSERT_EQ(engine->modelState(), ModelState::loaded);
  const auto results = engine->transcribe(wav.string());
  ASSERT_EQ(results.size(), 1u);
  EXPECT_FALSE(results[0]->language().empty());
  EXPECT_GT(results[0]->timings().totalEncodingRuns, 0);
}

// Audio at the edges of what the engine takes: nothing at all and an empty WAV file give no text,
// and an array of several of the model's windows is decoded window after window.
TEST(MurmelTranscribeTest, EmptyAndLongAudioEndInResultsWithoutACrash) {
  TinyRealEngine tiny;
  if (!fs::exists(tiny.tokenizer / "tokenizer.json")) GTEST_SKIP() << "no tokenizer fixture at " << tiny.tokenizer;
  auto engine = tiny.make();
  ASSERT_EQ(engine->modelState(), ModelState::loaded);
  auto text = [](const TranscriptionResults& results) {
    std::string all;
    for (const auto& result : results) all += result->text();
    return all;
  };

  EXPECT_EQ(text(engine->transcribe(std::vector<float>{})), "");
  const fs::path empty = tiny.dir.path() / "empty.wav";
  writeWav(empty, {std::vector<float>{}});
  EXPECT_EQ(text(engine->transcribe(empty.string())), "");
  // 2 s: past the one-second margin at the end, and about eight windows of 3840 samples.
  std::vector<float> samples(2 * 16000);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = 0.3f * std::sin(0.05f * static_cast<float>(i));
  const auto results = engine->transcribe(samples);
  ASSERT_FALSE(results.empty());
  EXPECT_GT(results[0]->timings().totalEncodingRuns, 2);
}

// A model folder that lost a file after the engine was made: the first transcription fails naming
// the file, and so does the next one.
TEST(MurmelTranscribeTest, AModelFolderMissingAFileFailsTranscriptionNamingIt) {
  TinyRealEngine tiny;
  if (!fs::exists(tiny.tokenizer / "tokenizer.json")) GTEST_SKIP() << "no tokenizer fixture at " << tiny.tokenizer;
  const fs::path lost = tiny.dir.path() / "models" / "TextDecoder.mlmodelc" / "weights.safetensors";
  fs::remove(lost);
  auto engine = tiny.make(false);
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      engine->transcribe(std::vector<float>(32000, 0.1f));
      FAIL() << "transcribed without the decoder's weights";
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find("TextDecoder.mlmodelc"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace murmel
