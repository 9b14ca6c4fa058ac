#include "Murmel/transcription/AudioStreamTranscriber.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "KestrumCore/tests/LogCapture.h"
#include "Murmel/audio/AudioProcessor.h"
#include "Murmel/tests/FakeStages.h"
#include "Murmel/tests/ScriptedDecoder.h"
#include "Murmel/tests/SeekerFixtures.h"
#include "platform/Audio/FakeCaptureEngine.h"

namespace murmel {
namespace {

using platform::audio::CaptureError;
using platform::audio::FakeCaptureEngine;
using testing::FakeEncoder;
using testing::FakeExtractor;
using testing::kWordEnd;
using testing::kWordTime;
using testing::ScriptedDecoder;
using testing::ScriptedDecoderShape;
using testing::ScriptedStep;
using testsupport::LogCapture;
using State = AudioStreamTranscriber::State;
using Tokens = std::vector<std::int64_t>;

constexpr auto kTimeout = std::chrono::seconds(20);
constexpr std::int64_t kBuffer = 1600;  // 0.1 s, the span of one energy value
constexpr std::int64_t kSpecialBegin = kWordEnd;

std::int64_t ts(int k) { return kWordTime + k; }  // <|k × 0.02|>

// The real seeker, recording where each window starts; segments put in `replacement` are handed out
// once instead of the decoded ones (for times the timestamp rules would not let a decoder produce).
class RecordingSeeker : public SegmentSeeker {
 public:
  std::optional<std::vector<TranscriptionSegment>> replacement;

  std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
      const DecodingResult& decodingResult, const DecodingOptions& options, std::int64_t allSegmentsCount,
      std::int64_t currentSeek, std::int64_t segmentSize, std::int64_t sampleRate, std::int64_t timeToken,
      std::int64_t specialToken, const WhisperTokenizer& tokenizer) override {
    {
      std::lock_guard lock(mutex_);
      seeks_.push_back(currentSeek);
    }
    if (replacement) return {currentSeek + segmentSize, std::exchange(replacement, std::nullopt)};
    return SegmentSeeker::findSeekPointAndSegments(decodingResult, options, allSegmentsCount, currentSeek, segmentSize,
                                                   sampleRate, timeToken, specialToken, tokenizer);
  }
  std::vector<std::int64_t> seeks() const {
    std::lock_guard lock(mutex_);
    return seeks_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::int64_t> seeks_;
};

// Hands out fake capture engines, one per start, from a list of scripts (the last repeats).
struct Engines {
  std::mutex mutex;
  std::vector<FakeCaptureEngine::Script> scripts{FakeCaptureEngine::Script{}};
  std::vector<std::shared_ptr<FakeCaptureEngine>> made;

  std::shared_ptr<platform::audio::CaptureEngine> make() {
    std::lock_guard lock(mutex);
    const auto& script = scripts[std::min(made.size(), scripts.size() - 1)];
    made.push_back(std::make_shared<FakeCaptureEngine>(script));
    return made.back();
  }
  std::shared_ptr<FakeCaptureEngine> at(std::size_t i) {
    std::lock_guard lock(mutex);
    return i < made.size() ? made[i] : nullptr;
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return made.size();
  }
};

// The real front end on fake engines, counting the loop's passes: every pass asks for the store's
// size once, first. A pass counted after some audio was pushed has seen all of it. While passes are
// held, a pass waits before it reads the size, so audio pushed meanwhile reaches one pass whole.
// `onCall`, set before the transcriber starts, runs inside the front end's operations: after a
// capture start, before a stop, before the others.
class PassCountingProcessor : public AudioProcessor {
 public:
  explicit PassCountingProcessor(std::shared_ptr<Engines> engines)
      : AudioProcessor([engines] { return engines->make(); }) {}

  std::function<void(std::string_view operation)> onCall;

  std::size_t audioSampleCount() const override {
    {
      std::lock_guard lock(passMutex_);
      ++passes_;
    }
    passed_.notify_all();
    called("audioSampleCount");
    {
      std::unique_lock lock(passMutex_);
      passed_.wait(lock, [&] { return !held_; });
    }
    return AudioProcessor::audioSampleCount();
  }
  std::vector<float> audioSamples() const override {
    called("audioSamples");
    return AudioProcessor::audioSamples();
  }
  std::vector<float> relativeEnergy() const override {
    called("relativeEnergy");
    return AudioProcessor::relativeEnergy();
  }
  void startRecordingLive(std::optional<std::uint32_t> inputDeviceID, AudioBufferCallback callback) override {
    AudioProcessor::startRecordingLive(inputDeviceID, std::move(callback));
    called("startRecordingLive");
  }
  void stopRecording() override {
    called("stopRecording");
    AudioProcessor::stopRecording();
  }

  void holdPasses(bool held) {
    {
      std::lock_guard lock(passMutex_);
      held_ = held;
    }
    passed_.notify_all();
  }
  std::int64_t passes() const {
    std::lock_guard lock(passMutex_);
    return passes_;
  }
  void called(std::string_view operation) const {
    if (onCall) onCall(operation);
  }
  // Waits until `more` further passes have begun; with 1, every pass begun before has ended.
  bool waitPasses(std::int64_t more) const {
    std::unique_lock lock(passMutex_);
    const std::int64_t target = passes_ + more;
    return passed_.wait_for(lock, kTimeout, [&] { return passes_ >= target; });
  }

 private:
  mutable std::mutex passMutex_;
  mutable std::condition_variable passed_;
  mutable std::int64_t passes_ = 0;
  bool held_ = false;
};

// Every state change, in order.
class Recorder {
 public:
  // Keeps the recorder alive for changes still arriving from a stopped transcriber's queue.
  static AudioStreamTranscriber::StateChangeCallback callback(std::shared_ptr<Recorder> recorder) {
    return [recorder](const State& before, const State& after) {
      {
        std::lock_guard lock(recorder->mutex_);
        recorder->changes_.emplace_back(before, after);
        recorder->changed_.notify_all();
      }
      if (recorder->then) recorder->then(after);
    };
  }
  // Called after each change is recorded, on the thread that delivers it; set before the start.
  std::function<void(const State&)> then;
  template <class Predicate>
  bool waitUntil(Predicate predicate) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kTimeout, [&] { return !changes_.empty() && predicate(changes_.back().second); });
  }
  std::vector<std::pair<State, State>> changes() const {
    std::lock_guard lock(mutex_);
    return changes_;
  }
  State latest() const {
    std::lock_guard lock(mutex_);
    return changes_.empty() ? State{} : changes_.back().second;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<State, State>> changes_;
};

struct Settings {
  std::int64_t requiredSegmentsForConfirmation = 2;
  std::int64_t compressionCheckWindow = 60;
  bool useVAD = false;
  float silenceThreshold = 0.3f;
};

// No fallback ladder: a second attempt would sample at a raised temperature.
DecodingOptions options() {
  DecodingOptions o;
  o.temperatureFallbackCount = 0;
  return o;
}

class AudioStreamTranscriberTest : public ::testing::Test {
 protected:
  AudioStreamTranscriberTest() {
    ScriptedDecoderShape s;
    s.vocabulary = 151;
    s.cacheLength = 64;
    fake = std::make_unique<ScriptedDecoder>(s);
  }

  void TearDown() override { stopLoop(); }

  // Stops the transcriber and waits for its loop.
  void stopLoop() {
    if (transcriber) transcriber->stopStreamTranscription();
    if (loop.joinable()) {
      if (!loopEnded.valid() || loopEnded.wait_for(kTimeout) == std::future_status::ready) {
        loop.join();
      } else {
        ADD_FAILURE() << "the loop did not end after stop";
        loop.detach();
      }
    }
  }

  void make(DecodingOptions decoding = options(), Settings settings = {}) {
    auto decoder = std::make_shared<TextDecoder>();
    decoder->setModel(fake->decoderModel());
    decoder->setTokenizer(tokenizer);
    processor = std::make_shared<PassCountingProcessor>(engines);
    seeker = std::make_shared<RecordingSeeker>();
    transcriber = AudioStreamTranscriber::make(
        std::make_shared<FakeEncoder>(fake->encoderOutput()), std::make_shared<FakeExtractor>(),
        seeker, decoder, tokenizer, processor, std::move(decoding),
        settings.requiredSegmentsForConfirmation, settings.silenceThreshold, settings.compressionCheckWindow,
        settings.useVAD, Recorder::callback(recorder));
  }

  // Runs the loop on its own thread and waits for its first pass (capture is running by then).
  void start() {
    launch();
    ASSERT_TRUE(processor->waitPasses(1));
  }

  // Runs the loop on its own thread.
  void launch() {
    std::promise<void> ended;
    loopEnded = ended.get_future();
    loop = std::thread([t = transcriber, ended = std::move(ended)]() mutable {
      try {
        t->startStreamTranscription();
        ended.set_value();
      } catch (...) {
        ended.set_exception(std::current_exception());
      }
    });
  }

  // Pushes `count` samples of `value` through the latest engine, in 0.1 s buffers.
  void feed(std::int64_t count, float value = 0.01f) {
    auto engine = engines->at(engines->count() - 1);
    for (std::int64_t done = 0; done < count; done += kBuffer) {
      const auto n = static_cast<std::size_t>(std::min(kBuffer, count - done));
      ASSERT_TRUE(engine->push({std::vector<float>(n, value)}));
    }
  }

  // Feeds audio, all of it before the loop's next look at the store (a pass amid the feed could
  // transcribe a part and leave less than a second for the next), and waits until the transcription
  // it starts is over.
  void feedAndTranscribe(std::int64_t count, std::int64_t expectedStore) {
    processor->holdPasses(true);
    feed(count);
    processor->holdPasses(false);
    ASSERT_TRUE(recorder->waitUntil([&](const State& s) { return s.lastBufferSize == expectedStore; }))
        << "no transcription of " << expectedStore << " samples";
    ASSERT_TRUE(processor->waitPasses(1));
  }

  // What the decoder predicts after each position: position 0 (the start) is overruled by the
  // prompt, then `tokens`, then the end of text.
  void script(const Tokens& tokens) {
    fake->script.clear();
    fake->script[0] = ScriptedStep(3);
    for (std::size_t i = 0; i < tokens.size(); ++i) fake->script[static_cast<std::int64_t>(i) + 1] = ScriptedStep(tokens[i]);
    fake->script[static_cast<std::int64_t>(tokens.size()) + 1] = ScriptedStep(kWordEnd);
  }

  std::unique_ptr<ScriptedDecoder> fake;
  std::shared_ptr<const WhisperTokenizer> tokenizer = testing::seekerTokenizer();
  std::shared_ptr<Engines> engines = std::make_shared<Engines>();
  std::shared_ptr<PassCountingProcessor> processor;
  std::shared_ptr<RecordingSeeker> seeker;
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
  std::shared_ptr<AudioStreamTranscriber> transcriber;
  std::thread loop;
  std::future<void> loopEnded;
};

bool anyTranscription(const std::vector<std::pair<State, State>>& changes) {
  for (const auto& [before, after] : changes)
    if (after.lastBufferSize != 0) return true;
  return false;
}

// ---- when a pass transcribes ---------------------------------------------------------------------

TEST_F(AudioStreamTranscriberTest, TranscribesOnlyAfterMoreThanOneSecondOfNewAudio) {
  script({});
  make();
  start();
  // Both sides of the threshold, from an empty store and from the last transcription.
  std::int64_t store = 0;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    feed(16000);
    ASSERT_TRUE(processor->waitPasses(2));
    EXPECT_EQ(recorder->latest().lastBufferSize, store);
    feed(1);
    store += 16001;
    ASSERT_TRUE(recorder->waitUntil([&](const State& s) { return s.lastBufferSize == store; }));
  }
  std::vector<std::int64_t> sizes;
  for (const auto& [before, after] : recorder->changes())
    if (after.lastBufferSize != before.lastBufferSize) sizes.push_back(after.lastBufferSize);
  EXPECT_EQ(sizes, (std::vector<std::int64_t>{16001, 32002}));
}

TEST_F(AudioStreamTranscriberTest, WithVoiceDetectionSilenceIsSkippedUntilVoiceArrives) {
  LogCapture log(kestrum::Logging::LogLevel::debug);
  script({});
  make(options(), {.useVAD = true, .silenceThreshold = 0.3f});
  start();
  feed(16 * kBuffer, 0.0f);
  ASSERT_TRUE(processor->waitPasses(2));
  EXPECT_FALSE(anyTranscription(recorder->changes()));
  EXPECT_TRUE(fake->calls().empty());
  EXPECT_FALSE(log.containing("No voice detected, skipping transcribe").empty());
  EXPECT_EQ(recorder->latest().currentText, "Waiting for speech...");

  // Loud buffers after the silence: relative energy near 1 in the span the check looks at.
  feed(16 * kBuffer, 0.1f);
  ASSERT_TRUE(recorder->waitUntil([](const State& s) { return s.lastBufferSize > 16 * kBuffer; }));
}

// ---- confirmation ------------------------------------------------------------------------------

struct Seg {
  std::int64_t word;
  float start, end;
};

Tokens words(const TranscriptionSegment& segment) {
  Tokens found;
  for (auto token : segment.tokens)
    if (token < kSpecialBegin) found.push_back(token);
  return found;
}

void expectSegments(const std::vector<TranscriptionSegment>& actual, const std::vector<Seg>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(words(actual[i]), Tokens{expected[i].word}) << i;
    EXPECT_NEAR(actual[i].start, expected[i].start, 1e-4) << i;
    EXPECT_NEAR(actual[i].end, expected[i].end, 1e-4) << i;
  }
}

TEST_F(AudioStreamTranscriberTest, AllButTheLatestSegmentsAreConfirmedAndDecodingResumesAfterThem) {
  // Word w, then timestamps in steps of 0.02 s relative to where decoding starts.
  const Tokens fiveFrom0 = {10, ts(10), ts(10), 11, ts(20), ts(20), 12, ts(30), ts(30), 13, ts(40), ts(40), 14, ts(50)};
  const Tokens fiveMore = {20, ts(10), ts(10), 21, ts(20), ts(20), 22, ts(30), ts(30), 23, ts(40), ts(40), 24, ts(50)};
  struct Round {
    const char* name;
    Tokens tokens;
    std::vector<Seg> replacement;  // segments handed out instead of the decoded ones
    std::vector<Seg> confirmed, unconfirmed;
    float lastConfirmedEnd;
  };
  const std::vector<Seg> firstThree = {{10, 0.0f, 0.2f}, {11, 0.2f, 0.4f}, {12, 0.4f, 0.6f}};
  std::vector<Seg> six = firstThree;
  six.insert(six.end(), {{20, 0.6f, 0.8f}, {21, 0.8f, 1.0f}, {22, 1.0f, 1.2f}});
  const std::vector<Round> rounds = {
      {"five segments: the first three are confirmed", fiveFrom0, {}, firstThree, {{13, 0.6f, 0.8f}, {14, 0.8f, 1.0f}},
       0.6f},
      {"decoding goes on from the last confirmed end", fiveMore, {}, six, {{23, 1.2f, 1.4f}, {24, 1.4f, 1.6f}}, 1.2f},
      {"confirmed part ends at the last confirmed end: kept out, unconfirmed still replaced", {},
       {{15, 1.0f, 1.2f}, {16, 1.2f, 1.4f}, {17, 1.4f, 1.6f}}, six, {{16, 1.2f, 1.4f}, {17, 1.4f, 1.6f}}, 1.2f},
      {"no more segments than required: none confirmed", {}, {{18, 1.2f, 1.4f}, {19, 1.4f, 1.6f}}, six,
       {{18, 1.2f, 1.4f}, {19, 1.4f, 1.6f}}, 1.2f},
  };
  make();
  start();
  std::int64_t store = 0;
  for (const auto& round : rounds) {
    SCOPED_TRACE(round.name);
    // The loop is idle: it reads script and replacement only after the audio below.
    script(round.tokens);
    if (!round.replacement.empty()) {
      std::vector<TranscriptionSegment> segments;
      for (const auto& seg : round.replacement) {
        TranscriptionSegment s;
        s.start = seg.start;
        s.end = seg.end;
        s.tokens = {seg.word};
        segments.push_back(s);
      }
      seeker->replacement = segments;
    }
    store += 16001;
    feedAndTranscribe(16001, store);
    const State state = recorder->latest();
    expectSegments(state.confirmedSegments, round.confirmed);
    expectSegments(state.unconfirmedSegments, round.unconfirmed);
    EXPECT_NEAR(state.lastConfirmedSegmentEndSeconds, round.lastConfirmedEnd, 1e-4);
  }
  // One window per transcription, each from the confirmed end of the one before (0, 0.6 s, 1.2 s).
  EXPECT_EQ(seeker->seeks(), (std::vector<std::int64_t>{0, 9600, 19200, 19200}));
  EXPECT_TRUE(fake->faults().empty()) << fake->faults().front();
}

// ---- early stop --------------------------------------------------------------------------------

std::int64_t wordCount(const std::vector<TranscriptionSegment>& segments) {
  std::int64_t words = 0;
  for (const auto& segment : segments)
    for (auto token : segment.tokens) words += token < kSpecialBegin;
  return words;
}

TEST_F(AudioStreamTranscriberTest, DecodingStopsEarlyOnRepetitionOrLowLogProbability) {
  Tokens repeated(30, 0);  // " Hello" 30 times
  Tokens distinct;         // " w10" ... " w38"
  for (std::int64_t w = 10; w <= 38; ++w) distinct.push_back(w);
  // The prompt is [start, no timestamps]: a report after k words holds k + 2 tokens, and the
  // prompt's log-probabilities count as 0 in the average.
  struct Case {
    const char* name;
    Tokens tokens;
    std::optional<float> wordLogProb;
    std::optional<float> compressionRatioThreshold;
    std::optional<float> logProbThreshold;
    std::int64_t window;
    std::int64_t expectedWords;
  };
  const std::vector<Case> cases = {
      {"repetition stops at the first report past the window", repeated, {}, 2.4f, {}, 10, 9},
      {"a report of exactly the window's size is not checked", repeated, {}, 2.4f, {}, 11, 10},
      {"a ratio below the threshold goes on", repeated, {}, 1000.0f, {}, 10, 30},
      {"no ratio threshold: repetition goes on", repeated, {}, std::nullopt, {}, 10, 30},
      {"no ratio threshold: varied text goes on", distinct, {}, std::nullopt, {}, 10, 29},
      // Average after k words of -3 each: -3k / (k + 2).
      {"average log-probability below -1.2 after 2 words", distinct, -3.0f, std::nullopt, -1.2f, 1000, 2},
      {"average log-probability below -2.45 after 9 words", distinct, -3.0f, std::nullopt, -2.45f, 1000, 9},
      {"no log-probability threshold goes on", distinct, -3.0f, std::nullopt, std::nullopt, 1000, 29},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    stopLoop();
    fake = std::make_unique<ScriptedDecoder>(fake->shape);
    engines = std::make_shared<Engines>();
    recorder = std::make_shared<Recorder>();
    script(c.tokens);
    if (c.wordLogProb)
      for (std::size_t k = 1; k <= c.tokens.size(); ++k)
        fake->script[static_cast<std::int64_t>(k)].withLogProb(*c.wordLogProb);
    DecodingOptions o = options();
    o.withoutTimestamps = true;
    o.compressionRatioThreshold = c.compressionRatioThreshold;
    o.logProbThreshold = c.logProbThreshold;
    o.firstTokenLogProbThreshold = std::nullopt;
    make(o, {.compressionCheckWindow = c.window});
    start();
    feedAndTranscribe(16001, 16001);
    EXPECT_EQ(wordCount(recorder->latest().unconfirmedSegments), c.expectedWords);
  }
}

// ---- lifecycle ---------------------------------------------------------------------------------

TEST_F(AudioStreamTranscriberTest, EachStateChangeIsReportedAloneWithTheStateBeforeIt) {
  script({10, ts(10), ts(10), 11, ts(20), ts(20), 12, ts(30), ts(30), 13, ts(40)});
  make();
  start();
  feedAndTranscribe(16001, 16001);
  transcriber->stopStreamTranscription();
  ASSERT_EQ(loopEnded.wait_for(kTimeout), std::future_status::ready);

  // Progress can still arrive after the stop; the stop itself is one change.
  const auto changes = recorder->changes();
  ASSERT_GE(changes.size(), 2u);
  EXPECT_EQ(changes.front().first, State{});
  EXPECT_TRUE(changes.front().second.isRecording);
  const auto stops = std::count_if(changes.begin(), changes.end(),
                                   [](const auto& c) { return c.first.isRecording && !c.second.isRecording; });
  EXPECT_EQ(stops, 1);
  EXPECT_EQ(recorder->latest().confirmedSegments.size(), 2u);
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const auto& [before, after] = changes[i];
    if (i > 0) {
      EXPECT_EQ(before, changes[i - 1].second) << "change " << i << " does not follow the one before";
    }
    const int differing = (before.isRecording != after.isRecording) + (before.currentFallbacks != after.currentFallbacks) +
                          (before.lastBufferSize != after.lastBufferSize) +
                          (before.lastConfirmedSegmentEndSeconds != after.lastConfirmedSegmentEndSeconds) +
                          (before.bufferEnergy != after.bufferEnergy) + (before.currentText != after.currentText) +
                          (before.confirmedSegments != after.confirmedSegments) +
                          (before.unconfirmedSegments != after.unconfirmedSegments) +
                          (before.unconfirmedText != after.unconfirmedText);
    EXPECT_LE(differing, 1) << "change " << i;
  }
}

TEST_F(AudioStreamTranscriberTest, ACallbackMayStopTheTranscriberAndChangesStayInOrder) {
  // From the loop's own thread (its first idle pass) and from the capture hop (buffer energy).
  struct Case {
    const char* name;
    bool feedAudio;
    std::function<bool(const State&)> stopWhen;
  };
  const std::vector<Case> cases = {
      {"loop thread", false, [](const State& s) { return s.currentText == "Waiting for speech..."; }},
      {"capture hop", true, [](const State& s) { return !s.bufferEnergy.empty(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    stopLoop();
    engines = std::make_shared<Engines>();
    recorder = std::make_shared<Recorder>();
    script({});
    make();
    std::weak_ptr<AudioStreamTranscriber> weak = transcriber;
    recorder->then = [weak, stopWhen = c.stopWhen, stopped = false](const State& s) mutable {
      if (stopped || !s.isRecording || !stopWhen(s)) return;
      stopped = true;
      if (auto t = weak.lock()) t->stopStreamTranscription();
    };
    // A stop from the loop's first idle pass may come before that pass is counted: no wait for it.
    launch();
    if (c.feedAudio) {
      ASSERT_TRUE(processor->waitPasses(1));
      feed(kBuffer);
    }
    if (loopEnded.wait_for(kTimeout) != std::future_status::ready) {
      // The loop and whoever stops it hold the transcriber's mutex for good: leave, do not hang.
      std::fprintf(stderr, "[  FAILED  ] %s: stopping from the state callback deadlocked\n", c.name);
      std::fflush(stderr);
      std::_Exit(EXIT_FAILURE);
    }
    loopEnded.get();
    EXPECT_FALSE(engines->at(0)->isRunning());
    const auto changes = recorder->changes();
    ASSERT_FALSE(changes.empty());
    EXPECT_TRUE(changes.front().second.isRecording);
    std::size_t stops = 0, triggers = 0;
    for (std::size_t i = 0; i < changes.size(); ++i) {
      const auto& [before, after] = changes[i];
      if (i > 0) {
        EXPECT_EQ(before, changes[i - 1].second) << "change " << i << " out of order";
      }
      if (before.isRecording && !after.isRecording) {
        ++stops;
        EXPECT_GT(triggers, 0u) << "the stop is reported before the change that caused it";
      }
      triggers += after.isRecording && c.stopWhen(after);
    }
    EXPECT_EQ(stops, 1u);
  }
}

TEST_F(AudioStreamTranscriberTest, StopEndsTheLoopAndTheCapture) {
  make();
  start();
  // A second start while recording returns at once and starts no capture.
  auto second = std::async(std::launch::async, [t = transcriber] { t->startStreamTranscription(); });
  ASSERT_EQ(second.wait_for(kTimeout), std::future_status::ready);
  EXPECT_EQ(engines->count(), 1u);
  EXPECT_EQ(loopEnded.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

  transcriber->stopStreamTranscription();
  ASSERT_EQ(loopEnded.wait_for(kTimeout), std::future_status::ready);
  loopEnded.get();
  EXPECT_FALSE(engines->at(0)->isRunning());
  EXPECT_FALSE(recorder->latest().isRecording);

  // And it starts again.
  loop.join();
  start();
  EXPECT_EQ(engines->count(), 2u);
  EXPECT_TRUE(engines->at(1)->isRunning());
}

TEST_F(AudioStreamTranscriberTest, ARestartTranscribesTheNewCaptureFromItsStart) {
  script({});
  make();
  start();
  feedAndTranscribe(48001, 48001);
  stopLoop();

  // The new capture's store starts empty; one second and a sample of it is transcribed.
  start();
  EXPECT_EQ(recorder->latest().lastBufferSize, 0);
  feedAndTranscribe(16001, 16001);
}

// Sessions begun so far: changes that set isRecording.
std::size_t sessions(const std::vector<std::pair<State, State>>& changes) {
  return std::count_if(changes.begin(), changes.end(), [](const auto& c) { return !c.first.isRecording && c.second.isRecording; });
}

// A stop that comes while a capture start is under way waits for it and then stops that capture. A
// start called after that stop must wait for it too: got in first, its session would record with a
// capture the stop ends. Hooks hold the first capture start until the stop is waiting for it and the
// next start has been called, and, should the new session begin before the stop reaches the front
// end, hold the stop until the new capture runs. Which of the two waiters takes the lock first once
// the capture start is over is up to the scheduler, so several rounds.
TEST_F(AudioStreamTranscriberTest, AStartAfterAStopThatWaitsForACaptureStartKeepsItsCapture) {
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    stopLoop();
    engines = std::make_shared<Engines>();
    recorder = std::make_shared<Recorder>();
    script({});
    make();
    struct Hooks {
      std::mutex mutex;
      std::condition_variable changed;
      int starts = 0;
      bool firstStarting = false, releaseFirst = false, stopReached = false, secondStarted = false;
      void set(bool Hooks::*flag) {
        std::lock_guard lock(mutex);
        this->*flag = true;
        changed.notify_all();
      }
      bool waitFor(bool Hooks::*flag) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kTimeout, [&] { return this->*flag; });
      }
    };
    const auto hooks = std::make_shared<Hooks>();
    Recorder* const changes = recorder.get();  // outlives every call of the hooks below
    processor->onCall = [hooks, changes](std::string_view operation) {
      if (operation == "startRecordingLive") {
        std::unique_lock lock(hooks->mutex);
        if (++hooks->starts > 1) {
          hooks->secondStarted = true;
          hooks->changed.notify_all();
          return;
        }
        hooks->firstStarting = true;
        hooks->changed.notify_all();
        hooks->changed.wait(lock, [&] { return hooks->releaseFirst; });
      } else if (operation == "stopRecording") {
        std::unique_lock lock(hooks->mutex);
        if (std::exchange(hooks->stopReached, true)) return;
        hooks->changed.notify_all();
        if (sessions(changes->changes()) > 1) hooks->changed.wait(lock, [&] { return hooks->secondStarted; });
      }
    };
    recorder->then = [hooks, changes](const State& s) {
      if (s.isRecording && sessions(changes->changes()) > 1) hooks->waitFor(&Hooks::stopReached);
    };

    auto first = std::async(std::launch::async, [t = transcriber] { t->startStreamTranscription(); });
    ASSERT_TRUE(hooks->waitFor(&Hooks::firstStarting));
    auto stop = std::async(std::launch::async, [t = transcriber] { t->stopStreamTranscription(); });
    // Lets the held start, the stop and the first session end whatever fails below.
    struct Release {
      Hooks& hooks;
      void operator()() const { hooks.set(&Hooks::releaseFirst); }
      ~Release() { (*this)(); }
    } const release{*hooks};
    // The stop has changed the state once a capture buffer's report, delivered after it, shows it.
    for (std::size_t k = 1; recorder->latest().isRecording; ++k) {
      feed(kBuffer);
      ASSERT_TRUE(recorder->waitUntil([k](const State& s) { return s.bufferEnergy.size() == k; }));
    }
    launch();  // the next start, after the stop
    release();
    ASSERT_EQ(stop.wait_for(kTimeout), std::future_status::ready);
    ASSERT_EQ(first.wait_for(kTimeout), std::future_status::ready);
    first.get();
    // The stop is over and the new capture has started: it runs, and its audio reaches the state.
    ASSERT_TRUE(hooks->waitFor(&Hooks::secondStarted));
    ASSERT_EQ(engines->count(), 2u);
    EXPECT_FALSE(engines->at(0)->isRunning());
    ASSERT_TRUE(engines->at(1)->isRunning()) << "the stop ended the capture of the start after it";
    const std::size_t energies = recorder->latest().bufferEnergy.size();
    feed(kBuffer);
    ASSERT_TRUE(recorder->waitUntil([&](const State& s) { return s.isRecording && s.bufferEnergy.size() > energies; }));
  }
}

TEST_F(AudioStreamTranscriberTest, ATranscriptionErrorEndsTheLoopWithALogLine) {
  LogCapture log(kestrum::Logging::LogLevel::error);
  fake->damagedFromCall = 0;  // NaN logits
  script({10});
  make();
  start();
  feed(16001);
  ASSERT_EQ(loopEnded.wait_for(kTimeout), std::future_status::ready);
  EXPECT_NO_THROW(loopEnded.get());
  const auto lines = log.lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("Error: ", 0) == 0; }));
}

TEST_F(AudioStreamTranscriberTest, AFailedCaptureStartLeavesItIdleAndReadyToStartAgain) {
  FakeCaptureEngine::Script failing;
  failing.failOnStart = true;
  engines->scripts = {failing, FakeCaptureEngine::Script{}};
  make();
  EXPECT_THROW(transcriber->startStreamTranscription(), CaptureError);
  const auto changes = recorder->changes();
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_TRUE(changes[0].second.isRecording);
  EXPECT_EQ(changes[1].second, State{});
  ASSERT_FALSE(recorder->latest().isRecording);

  start();
  ASSERT_EQ(engines->count(), 2u);
  EXPECT_TRUE(engines->at(1)->isRunning());
}

TEST_F(AudioStreamTranscriberTest, StopWithoutStartChangesNothingAndStartStillWorks) {
  make();
  transcriber->stopStreamTranscription();
  transcriber->stopStreamTranscription();
  EXPECT_EQ(engines->count(), 0u);
  EXPECT_EQ(recorder->latest(), State{});
  start();
  ASSERT_EQ(engines->count(), 1u);
  EXPECT_TRUE(engines->at(0)->isRunning());
}

// The front end is called without the transcriber's lock, so that a front end calling back at once
// cannot deadlock: inside each of its operations another thread's call into the transcriber gets
// through. While recording that call is a start (it returns at once); while stopping it is a
// capture buffer, whose energy reaches the state.
TEST_F(AudioStreamTranscriberTest, TheFrontEndIsCalledWithoutTheTranscribersLock) {
  static constexpr auto kProbe = std::chrono::seconds(5);
  const std::string_view operations[] = {"startRecordingLive", "audioSampleCount", "relativeEnergy", "audioSamples",
                                         "stopRecording"};
  std::vector<std::future<void>> calls;  // outlive the probes: a blocked call ends once the lock is free
  for (const std::string_view operation : operations) {
    SCOPED_TRACE(operation);
    const bool stopping = operation == "stopRecording";
    // The transcribers of the operations before, kept by their probes' start calls, may still report
    // changes: to a recorder of their own, or the energy counted below could be one of theirs.
    engines = std::make_shared<Engines>();
    recorder = std::make_shared<Recorder>();
    script({});
    make();
    struct Probe {
      std::atomic<bool> armed{false};
      std::promise<bool> gotThrough;
    };
    const auto probe = std::make_shared<Probe>();
    probe->armed = !stopping;
    auto answer = probe->gotThrough.get_future();
    // Runs once; later calls (of a transcriber already left behind, too) find it disarmed.
    processor->onCall = [this, probe, operation, stopping, &calls](std::string_view called) {
      if (called != operation || !probe->armed.exchange(false)) return;
      if (stopping) {
        const std::size_t energies = recorder->latest().bufferEnergy.size();
        feed(kBuffer);
        probe->gotThrough.set_value(recorder->waitUntil([&](const State& s) { return s.bufferEnergy.size() > energies; }));
        return;
      }
      calls.push_back(std::async(std::launch::async, [t = transcriber] { t->startStreamTranscription(); }));
      probe->gotThrough.set_value(calls.back().wait_for(kProbe) == std::future_status::ready);
    };
    start();
    if (stopping) {
      probe->armed = true;
      transcriber->stopStreamTranscription();
    } else {
      feed(16001);
    }
    ASSERT_EQ(answer.wait_for(kTimeout), std::future_status::ready);
    EXPECT_TRUE(answer.get());
    stopLoop();
  }
}

// The owner stops and lets go right after capture buffers arrived, with their callbacks possibly
// still queued: the loop keeps the transcriber until its pass ends, and later hops find it gone.
TEST_F(AudioStreamTranscriberTest, DroppedRightAfterStopEndsCleanlyAfterItsPass) {
  script({10, 11, 12});
  make();
  start();
  feed(16001 + 9 * kBuffer);
  std::weak_ptr<AudioStreamTranscriber> watch = transcriber;
  transcriber->stopStreamTranscription();
  transcriber.reset();
  ASSERT_EQ(loopEnded.wait_for(kTimeout), std::future_status::ready);
  loop.join();
  for (int i = 0; i < 100 && !watch.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(watch.expired());
  EXPECT_FALSE(engines->at(0)->isRunning());
}

}  // namespace
}  // namespace murmel
