#include "Parlet/core/Pipeline.h"

#include <cmath>
#include <fstream>
#include <future>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Parlet/core/tests/Fakes.h"
#include "testsupport/Fixtures.h"

namespace parlet {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using std::chrono::milliseconds;

const char* name(Pipeline::State state) {
  switch (state) {
    case Pipeline::State::idle: return "idle";
    case Pipeline::State::preparing: return "preparing";
    case Pipeline::State::recording: return "recording";
    case Pipeline::State::processing: return "processing";
  }
  return "?";
}

class PipelineTest : public ::testing::Test {
 protected:
  PipelineTest() {
    auto sink = [this](const std::string& line) { log.push_back(line); };
    auto recorder = std::make_shared<AudioRecorder>(AudioRecorder::Dependencies{
        testing::FakePlatformRecorder::factory(platform), [this] { return dir.path(); }, [this] { return queue.now(); }},
        sink);
    auto paster = std::make_shared<Paster>(
        Paster::Dependencies{&queue, pasteboard, keys, focus, sink, {}, {}});
    archive = std::make_unique<TranscriptArchive>(dir.path() / "transcripts.json",
                                                  TranscriptArchive::Options{{}, {}, sink});
    pipeline = std::make_unique<Pipeline>(
        Pipeline::Callbacks{[this](Pipeline::State s) { states.push_back(name(s)); },
                            [this](float level) { levels.push_back(level); },
                            [this](const std::string& text) { notices.push_back(text); },
                            [this](const std::optional<std::string>& failure) {
                              modelLoads.push_back(failure.value_or("loaded"));
                            }},
        Pipeline::Dependencies{&queue, transcriber, paster, recorder,
                               std::make_shared<const Polisher>(Polisher::defaultInstructions, model), archive.get(),
                               [this](std::function<void()> job) { executor(std::move(job)); }, sink,
                               [this](const std::string& line) { systemLog.push_back(line); }});
    model->available = false;
  }

  void settle() { testing::settle(queue, executor); }
  // Past the paster's wait for the window to ask for the clipboard, when the chord goes.
  void chordGoes() {
    queue.advance(Paster::requestWait);
    settle();
  }
  void wait(int ms) { queue.advance(milliseconds(ms)); }
  // Press, hold for `ms`, release, and let the road finish.
  void dictate(int ms) {
    pipeline->start();
    wait(ms);
    pipeline->stop();
    settle();
  }
  std::vector<std::filesystem::path> filesLeft() const {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      if (entry.path().extension() == ".wav") files.push_back(entry.path());
    return files;
  }

  testsupport::TempDir dir;
  kestrum::ManualMainQueue queue;
  testing::ManualExecutor executor;
  std::shared_ptr<testing::FakePlatformRecorder::Shared> platform =
      std::make_shared<testing::FakePlatformRecorder::Shared>();
  testing::FakeEngineFactory engines;
  std::shared_ptr<Transcriber> transcriber = std::make_shared<Transcriber>(engines.factory());
  std::shared_ptr<testing::FakeLanguageModel> model = std::make_shared<testing::FakeLanguageModel>();
  std::shared_ptr<testing::FakePasteboard> pasteboard = std::make_shared<testing::FakePasteboard>();
  std::shared_ptr<testing::FakePasteKeys> keys = std::make_shared<testing::FakePasteKeys>();
  std::shared_ptr<testing::FakeFocus> focus = std::make_shared<testing::FakeFocus>();
  std::unique_ptr<TranscriptArchive> archive;
  std::vector<std::string> states, notices, log, systemLog, modelLoads;
  std::vector<float> levels;
  std::unique_ptr<Pipeline> pipeline;
};

TEST_F(PipelineTest, ADictationIsTranscribedArchivedPastedAndItsFileDeleted) {
  engines.engine->results = {{" Hello world."}};
  pipeline->prewarm();
  settle();
  EXPECT_THAT(states, ElementsAre("preparing", "idle"));
  log.clear();
  states.clear();

  dictate(1000);
  chordGoes();
  EXPECT_THAT(states, ElementsAre("recording", "processing", "idle"));
  EXPECT_THAT(log, ElementsAre("pipeline.start modelReady=true prewarming=false",
                               MatchesRegex("pipeline\\.stop duration=1\\.00s url=parlet-[-0-9A-F]{36}\\.wav"),
                               "transcribe begin", "transcribe done: \"Hello world.\"", "polished: \"Hello world.\"",
                               "pasting 12 chars", HasSubstr("paste: front="), "paste: posted Ctrl+V"));
  ASSERT_EQ(archive->entries().size(), 1u);
  EXPECT_EQ(archive->entries()[0].text, "Hello world.");
  EXPECT_EQ(pasteboard->string(), "Hello world.");
  EXPECT_EQ(keys->chords, 1);
  EXPECT_THAT(filesLeft(), IsEmpty());
  EXPECT_EQ(engines.engine->paths.size(), 1u);
  EXPECT_THAT(notices, IsEmpty());
}

// No chord could be typed: the log says so instead of "posted", and the pill says where the text is.
TEST_F(PipelineTest, ATranscriptThatCannotBePastedStaysOnTheClipboardWithANotice) {
  engines.engine->results = {{" Hello world."}};
  pasteboard->contents = {{{testing::FakePasteboard::plainText, "the user's clipboard"}}};
  keys->typeable = false;
  dictate(1000);
  chordGoes();
  queue.advance(std::chrono::seconds(2));  // past any restore
  EXPECT_THAT(notices, ElementsAre(Paster::keptNotice));
  EXPECT_EQ(pasteboard->string(), "Hello world.");
  EXPECT_THAT(log, ::testing::Not(::testing::Contains(HasSubstr("posted"))));
  EXPECT_THAT(log, ::testing::Contains("paste: not pasted (Ctrl+V could not be typed); the text stays on the clipboard"));
  ASSERT_EQ(archive->entries().size(), 1u);
  EXPECT_THAT(states, ElementsAre("recording", "preparing", "processing", "idle"));
}

TEST_F(PipelineTest, AFirstDictationMovesFromPreparingToProcessingWhenTheModelLoads) {
  engines.engine->results = {{"Hi there"}};
  dictate(800);
  EXPECT_THAT(states, ElementsAre("recording", "preparing", "processing", "idle"));
  states.clear();
  dictate(800);
  EXPECT_THAT(states, ElementsAre("recording", "processing", "idle"));
  EXPECT_EQ(engines.constructions, 1);
}

TEST_F(PipelineTest, ClipsShorterThan400msAreDiscarded) {
  engines.engine->results = {{"Long enough text"}};
  dictate(390);
  EXPECT_THAT(states, ElementsAre("recording", "idle"));
  EXPECT_THAT(notices, ElementsAre("Hold the key longer"));
  EXPECT_THAT(log.back(), MatchesRegex("pipeline\\.stop duration=0\\.39s url=parlet-.*\\.wav"));
  EXPECT_THAT(filesLeft(), IsEmpty());
  EXPECT_TRUE(engines.engine->paths.empty());

  states.clear();
  dictate(400);
  EXPECT_THAT(states, ElementsAre("recording", "preparing", "processing", "idle"));
  EXPECT_EQ(engines.engine->paths.size(), 1u);
  EXPECT_EQ(pasteboard->string(), "Long enough text");
}

TEST_F(PipelineTest, HallucinationsAreDroppedBeforeOrAfterPolishing) {
  struct Case {
    const char* raw;
    std::optional<std::string> polished;  // model answer; nothing: model unavailable
    int holdMs;
    const char* droppedLine;  // nullptr: pasted
  };
  const std::vector<Case> cases = {
      {"Thank you.", std::nullopt, 1200, "dropped as hallucination (raw)"},
      {"Thank you.", std::nullopt, 1500, nullptr},
      {"[BLANK_AUDIO]", std::nullopt, 3000, "dropped as hallucination (raw)"},
      {"", std::nullopt, 3000, "dropped as hallucination (raw)"},
      {"um uh", std::string(" \n"), 3000, "dropped as hallucination (polished)"},
      {"so thanks for watching", std::string("Thanks for watching."), 1000, "dropped as hallucination (polished)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    engines.engine->results = {{c.raw}};
    model->available = c.polished.has_value();
    model->response = c.polished;
    pasteboard->contents.clear();
    log.clear();
    states.clear();
    std::size_t archived = archive->entries().size();
    dictate(c.holdMs);
    EXPECT_EQ(states.back(), "idle");
    EXPECT_THAT(filesLeft(), IsEmpty());
    if (c.droppedLine) {
      EXPECT_EQ(log.back(), c.droppedLine);
      EXPECT_EQ(archive->entries().size(), archived);
      EXPECT_FALSE(pasteboard->string());
    } else {
      EXPECT_EQ(archive->entries().size(), archived + 1);
      EXPECT_EQ(pasteboard->string(), c.raw);
    }
  }
}

// A dictation in which the model heard no speech in any segment pastes nothing, however sure the
// text it invented; one segment of speech, or no verdict, lets the text through.
TEST_F(PipelineTest, ADictationWithoutSpeechInAnySegmentIsDroppedAsSilence) {
  struct Case {
    const char* name;
    std::vector<EngineResult> results;
    std::optional<float> threshold;
    const char* droppedLine;  // nullptr: pasted
  };
  const std::vector<Case> cases = {
      {"every segment silent", {{" Put the red cup.", {0.9993f, 0.998f}}}, 0.6f,
       "dropped as silence (no-speech probability 0.9980)"},
      {"silent across results", {{" Put the red cup.", {0.9f}}, {" Now.", {0.7f}}}, 0.6f,
       "dropped as silence (no-speech probability 0.7000)"},
      {"one segment of speech", {{" Put the red cup.", {0.9993f, 0.0004f}}}, 0.6f, nullptr},
      {"at the threshold", {{" Put the red cup.", {0.6f}}}, 0.6f, nullptr},
      {"no segments", {{" Put the red cup.", {}}}, 0.6f, nullptr},
      {"the engine judges none", {{" Put the red cup.", {0.9993f}}}, std::nullopt, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engines.engine->results = c.results;
    engines.engine->threshold = c.threshold;
    pasteboard->contents.clear();
    log.clear();
    states.clear();
    const std::size_t archived = archive->entries().size();
    const int chords = keys->chords;
    dictate(2000);
    EXPECT_EQ(states.back(), "idle");
    EXPECT_THAT(filesLeft(), IsEmpty());
    EXPECT_THAT(notices, IsEmpty());
    if (c.droppedLine) {
      EXPECT_EQ(log.back(), c.droppedLine);
      EXPECT_EQ(archive->entries().size(), archived);
      EXPECT_FALSE(pasteboard->string());
      EXPECT_EQ(keys->chords, chords);
    } else {
      EXPECT_EQ(archive->entries().size(), archived + 1);
      EXPECT_TRUE(pasteboard->string());
    }
  }
}

TEST_F(PipelineTest, AFailedTranscriptionShowsANoticeAndCleansUp) {
  engines.engine->error = "unsupported audio file";
  dictate(1000);
  EXPECT_THAT(states, ElementsAre("recording", "preparing", "idle"));
  EXPECT_THAT(notices, ElementsAre("Transcription failed"));
  EXPECT_EQ(log.back(), "pipeline FAILED: unsupported audio file");
  EXPECT_THAT(filesLeft(), IsEmpty());
  EXPECT_TRUE(archive->entries().empty());
}

TEST_F(PipelineTest, AFailedPrewarmIsRetriedByTheNextDictations) {
  engines.failures = 2;
  engines.engine->results = {{"Back in business"}};
  pipeline->prewarm();
  settle();
  EXPECT_THAT(states, ElementsAre("preparing", "idle"));
  EXPECT_THAT(notices, ElementsAre("Couldn't load model"));
  EXPECT_THAT(systemLog, ElementsAre("Parlet: prewarm failed: model download failed"));
  // The reason also reaches the application's own log, and the shell hears of it.
  EXPECT_EQ(log.back(), "prewarm failed: model download failed");
  EXPECT_THAT(modelLoads, ElementsAre("model download failed"));

  dictate(1000);  // loads again inside the transcription, and fails again
  EXPECT_THAT(notices, ElementsAre("Couldn't load model",
                                   "Speech model unavailable: the speech model could not be loaded (model download failed)."));
  EXPECT_EQ(log.back(), "pipeline FAILED: model download failed");

  states.clear();
  dictate(1000);
  EXPECT_THAT(states, ElementsAre("recording", "preparing", "processing", "idle"));
  EXPECT_EQ(pasteboard->string(), "Back in business");
  EXPECT_EQ(engines.constructions, 3);
  EXPECT_THAT(modelLoads, ElementsAre("model download failed", "model download failed", "loaded"));  // loaded by the transcription

  pipeline->prewarm();  // loaded: nothing to do
  EXPECT_EQ(executor.pending(), 0u);
}

// A dictation without a model says why in the menu's words, and the shell hears the reason; the
// recording is removed like any other.
TEST_F(PipelineTest, DictatingWithoutAModelSaysWhyInTheMenusWords) {
  const std::pair<const char*, const char*> cases[] = {
      {"Download failed: Could not resolve host: huggingface.co",
       "Speech model unavailable: no connection to the model repository, and the speech model has not been "
       "downloaded yet."},
      {"HF_HUB_OFFLINE is set: No local copy of model \"base.en\"",
       "Speech model unavailable: offline mode is on (HF_HUB_OFFLINE), and the speech model has not been downloaded "
       "yet."},
  };
  for (const auto& [error, notice] : cases) {
    SCOPED_TRACE(error);
    engines.failures = 1;
    engines.failure = error;
    notices.clear();
    modelLoads.clear();
    dictate(1000);
    EXPECT_THAT(notices, ElementsAre(notice));
    EXPECT_THAT(modelLoads, ElementsAre(error));
    EXPECT_EQ(states.back(), "idle");
    EXPECT_THAT(filesLeft(), IsEmpty());
  }
}

TEST_F(PipelineTest, PrewarmLoadsOnceAndReportsNothingWhileRecording) {
  pipeline->start();
  pipeline->prewarm();
  pipeline->prewarm();
  settle();
  EXPECT_THAT(states, ElementsAre("recording"));
  EXPECT_EQ(engines.constructions, 1);
  EXPECT_EQ(log.back(), "pipeline.start modelReady=false prewarming=false");
  pipeline->start();  // already recording: nothing, not even a log line
  EXPECT_EQ(log.size(), 1u);
}

TEST_F(PipelineTest, AMicrophoneThatCannotStartIsReported) {
  for (bool refuse : {false, true}) {
    platform->failCreation = !refuse;
    platform->refuseToRecord = refuse;
    log.clear();
    notices.clear();
    pipeline->start();
    pipeline->stop();  // nothing was recording
    settle();
    EXPECT_THAT(states, IsEmpty());
    EXPECT_THAT(notices, ElementsAre("Mic unavailable"));
    ASSERT_EQ(log.size(), 2u);
    EXPECT_THAT(log[1], HasSubstr("pipeline.start FAILED: "));
    EXPECT_THAT(filesLeft(), IsEmpty());
  }
}

// The microphone goes quiet for good (or fails) while the key is held: about 2 s after the last
// audio the recording ends by itself with the notice, its file gone and nothing transcribed; the
// key release later does nothing. An input that keeps delivering records on.
TEST_F(PipelineTest, AMicrophoneThatStopsDeliveringEndsTheRecordingWithANotice) {
  struct Case {
    const char* name;
    int deliveringMs;  // audio arrives every 100 ms for this long
    std::optional<std::string> failure;  // the input fails after that instead of going quiet
    int endsAfterMs;      // from the press
    const char* logLine;  // nullptr: the recording goes on
  };
  const Case cases[] = {
      {"no audio at all", 0, std::nullopt, 2000, "recorder FAILED: no audio from the input for 2.0 s"},
      {"quiet after speech", 1000, std::nullopt, 3000, "recorder FAILED: no audio from the input for 2.0 s"},
      {"input fails", 500, "Audio capture stopped: Device unavailable", 534, "recorder FAILED: Audio capture stopped: Device unavailable"},
      {"keeps delivering", 5000, std::nullopt, 0, nullptr},
  };
  engines.engine->results = {{"Should not be transcribed"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform->frames = 0;
    platform->failure.reset();
    log.clear();
    states.clear();
    notices.clear();
    pipeline->start();
    int elapsed = 0;
    for (; elapsed < c.deliveringMs; elapsed += 100) {
      *platform->frames += 1600;
      wait(100);
    }
    platform->failure = c.failure;
    if (!c.logLine) {
      EXPECT_THAT(states, ElementsAre("recording"));
      pipeline->stop();
      settle();
      EXPECT_THAT(notices, IsEmpty());
      EXPECT_EQ(engines.engine->paths.size(), 1u);
      continue;
    }
    if (c.endsAfterMs - 40 > elapsed) wait(c.endsAfterMs - 40 - elapsed);
    EXPECT_THAT(states, ElementsAre("recording"));
    wait(80);
    EXPECT_THAT(states, ElementsAre("recording", "idle"));
    EXPECT_THAT(notices, ElementsAre("Mic unavailable"));
    EXPECT_EQ(log.back(), c.logLine);
    EXPECT_THAT(filesLeft(), IsEmpty());
    pipeline->stop();  // the key release
    settle();
    EXPECT_THAT(states, ElementsAre("recording", "idle"));
    EXPECT_TRUE(engines.engine->paths.empty());
  }
}

// The recorder hands over a file without a single sample: the log names it, the user hears of the
// microphone, and nothing is transcribed. A file with audio says how much it holds.
TEST_F(PipelineTest, ARecordingWithoutSamplesIsDroppedAsEmptyAudio) {
  engines.engine->results = {{"Hello"}};
  platform->frames = 0;
  pipeline->start();
  wait(1000);
  pipeline->stop();
  settle();
  EXPECT_THAT(states, ElementsAre("recording", "idle"));
  EXPECT_THAT(log, ElementsAre(HasSubstr("pipeline.start"), HasSubstr("pipeline.stop duration=1.00s"),
                               "pipeline.stop audio=0.00s frames=0",
                               "dropped as empty audio (the recording holds no samples)"));
  EXPECT_THAT(notices, ElementsAre("Mic unavailable"));
  EXPECT_THAT(filesLeft(), IsEmpty());
  EXPECT_TRUE(engines.engine->paths.empty());

  log.clear();
  pipeline->start();
  *platform->frames = 19680;
  wait(1000);
  pipeline->stop();
  settle();
  EXPECT_THAT(log, ::testing::Contains("pipeline.stop audio=1.23s frames=19680"));
  EXPECT_EQ(engines.engine->paths.size(), 1u);
  EXPECT_EQ(pasteboard->string(), "Hello");
}

TEST_F(PipelineTest, APressDuringProcessingStartsANewRecordingAlongsideTheEarlierRoad) {
  engines.engine->queued = {{{"First dictation"}}, {{"Second dictation"}}};
  pipeline->prewarm();
  settle();
  states.clear();

  pipeline->start();
  wait(1000);
  pipeline->stop();
  queue.runUntilIdle();  // "transcribe begin": the transcription now runs in the background
  ASSERT_EQ(executor.pending(), 1u);
  pipeline->start();  // the user presses again while the first clip is processing
  wait(700);
  settle();  // the first road finishes while the second recording runs
  EXPECT_THAT(states, ElementsAre("recording", "processing", "recording", "idle"));
  ASSERT_EQ(archive->entries().size(), 1u);
  EXPECT_EQ(pasteboard->string(), "First dictation");
  EXPECT_EQ(filesLeft().size(), 1u);  // only the running recording

  pipeline->stop();
  settle();
  EXPECT_THAT(states, ElementsAre("recording", "processing", "recording", "idle", "processing", "idle"));
  ASSERT_EQ(archive->entries().size(), 2u);
  EXPECT_EQ(archive->entries()[0].text, "Second dictation");
  EXPECT_THAT(filesLeft(), IsEmpty());
  EXPECT_THAT(log, ::testing::Contains(MatchesRegex("pipeline\\.stop duration=0\\.70s.*")));
}

// The trigger key was part of a chord: the recording goes, whatever its length, and nothing of it
// is transcribed, archived, pasted or noticed; a road already under way goes on.
TEST_F(PipelineTest, ACancelledRecordingLeavesNoTrace) {
  engines.engine->queued = {{{"Earlier dictation"}}, {{"Never spoken"}}};
  pipeline->prewarm();
  settle();
  states.clear();
  log.clear();

  pipeline->start();
  wait(1000);
  pipeline->stop();
  queue.runUntilIdle();  // the earlier clip is being transcribed
  pipeline->start();
  wait(1200);
  pipeline->cancel();
  pipeline->cancel();  // nothing recording: nothing happens
  pipeline->stop();
  settle();
  chordGoes();

  EXPECT_THAT(states, ElementsAre("recording", "processing", "recording", "idle", "idle"));
  EXPECT_THAT(log, ::testing::Contains("pipeline.cancel: the trigger key was part of a chord, the recording is dropped"));
  EXPECT_EQ(engines.engine->paths.size(), 1u);
  ASSERT_EQ(archive->entries().size(), 1u);
  EXPECT_EQ(archive->entries()[0].text, "Earlier dictation");
  EXPECT_EQ(pasteboard->string(), "Earlier dictation");
  EXPECT_EQ(keys->chords, 1);
  EXPECT_THAT(notices, IsEmpty());
  EXPECT_THAT(filesLeft(), IsEmpty());
  EXPECT_EQ(levels.back(), 0.0f);

  dictate(800);  // the next press dictates as before
  EXPECT_EQ(pasteboard->string(), "Never spoken");
}

// The application quits while the user records, or while a clip is still being transcribed
// ("Thinking"): no recording stays behind. Recordings an earlier run left go when the next starts.
TEST_F(PipelineTest, QuittingLeavesNoRecordingBehind) {
  auto another = [this] {
    return std::make_unique<Pipeline>(
        Pipeline::Callbacks{},
        Pipeline::Dependencies{
            .mainQueue = &queue,
            .transcriber = transcriber,
            .paster = std::make_shared<Paster>(Paster::Dependencies{&queue, pasteboard, keys, focus, {}, {}, {}}),
            .recorder = std::make_shared<AudioRecorder>(
                AudioRecorder::Dependencies{testing::FakePlatformRecorder::factory(platform),
                                            [this] { return dir.path(); }, [this] { return queue.now(); }},
                [](const std::string&) {}),
            .polisher = std::make_shared<const Polisher>(Polisher::defaultInstructions, model),
            .archive = archive.get(),
            .background = [this](std::function<void()> job) { executor(std::move(job)); },
            .log = [](const std::string&) {},
            .systemLog = [](const std::string&) {}});
  };
  struct Case {
    const char* name;
    int thinking;  // clips released and still being transcribed
    bool recording;
  };
  for (const Case c : {Case{"recording", 0, true}, Case{"thinking", 1, false}, Case{"both", 2, true}}) {
    SCOPED_TRACE(c.name);
    for (int i = 0; i < c.thinking; ++i) {
      pipeline->start();
      wait(1000);
      pipeline->stop();
      queue.runUntilIdle();  // the transcription now runs in the background
    }
    if (c.recording) pipeline->start();
    ASSERT_EQ(filesLeft().size(), static_cast<std::size_t>(c.thinking + c.recording));
    pipeline.reset();
    EXPECT_THAT(filesLeft(), IsEmpty());
    executor.runAll();  // the transcriptions end after the quit and find their files gone
    queue.runUntilIdle();
    pipeline = another();
  }

  // A run that ended without its clean-up (it was killed) left a recording; the next start removes it.
  const std::filesystem::path stale = dir.path() / "parlet-0A1B2C3D-4E5F-6789-ABCD-EF0123456789.wav";
  std::ofstream(stale) << "RIFF";
  pipeline.reset();
  EXPECT_TRUE(std::filesystem::exists(stale));  // a quit removes only its own
  pipeline = another();
  EXPECT_FALSE(std::filesystem::exists(stale));
}

TEST_F(PipelineTest, TheMeterMapsMinus60To0DecibelsOntoTheLevel) {
  const std::vector<std::pair<float, float>> table = {
      {-30.0f, 0.5f}, {-60.0f, 0.0f}, {-80.0f, 0.0f}, {0.0f, 1.0f}, {6.0f, 1.0f}, {std::nanf(""), 0.0f}};
  pipeline->start();
  for (const auto& [power, level] : table) {
    platform->power = power;
    levels.clear();
    queue.advance(std::chrono::nanoseconds(std::chrono::seconds(1)) / 30);
    ASSERT_EQ(levels.size(), 1u) << power;
    EXPECT_FLOAT_EQ(levels[0], level) << power;
  }
  levels.clear();
  pipeline->stop();
  EXPECT_THAT(levels, ElementsAre(0.0f));
  executor.runAll();
  queue.advance(std::chrono::seconds(1));
  EXPECT_THAT(levels, ElementsAre(0.0f));  // the meter stopped with the recording
}

TEST_F(PipelineTest, AJobThatOutlivesItsPipelineLeavesTheMainQueueAlone) {
  struct Case {
    bool onThread;        // the job runs on a thread of its own, else on the test thread after the fact
    bool queueDestroyed;  // the main queue goes with the pipeline, before the job ends
  };
  for (const Case c : {Case{false, false}, Case{false, true}, Case{true, false}, Case{true, true}}) {
    SCOPED_TRACE(std::string(c.onThread ? "thread" : "held job") + (c.queueDestroyed ? ", queue destroyed" : ""));
    testing::FakeEngineFactory slowEngines;
    std::promise<void> loading, release;
    std::shared_future<void> released = release.get_future().share();
    if (c.onThread) {
      slowEngines.duringConstruction = [&] {
        loading.set_value();
        released.wait();
      };
    }
    auto ownQueue = std::make_unique<kestrum::ManualMainQueue>();
    testing::ManualExecutor heldJobs;
    std::vector<std::thread> threads;
    std::vector<std::string> seen;
    auto doomed = std::make_unique<Pipeline>(
        Pipeline::Callbacks{[&](Pipeline::State s) { seen.push_back(name(s)); }, {}, {}, {}},
        Pipeline::Dependencies{
            .mainQueue = ownQueue.get(),
            .transcriber = std::make_shared<Transcriber>(slowEngines.factory()),
            .paster = std::make_shared<Paster>(
                Paster::Dependencies{ownQueue.get(), pasteboard, keys, focus, [](const std::string&) {}, {}, {}}),
            .recorder = std::make_shared<AudioRecorder>(AudioRecorder::Dependencies{
                testing::FakePlatformRecorder::factory(platform), [this] { return dir.path(); },
                [this] { return queue.now(); }}),
            .polisher = std::make_shared<const Polisher>(Polisher::defaultInstructions, model),
            .archive = archive.get(),
            .background =
                [&](std::function<void()> job) {
                  if (c.onThread) threads.emplace_back(std::move(job));
                  else heldJobs(std::move(job));
                },
            .log = [](const std::string&) {},
            .systemLog = [](const std::string&) {}});
    doomed->prewarm();
    if (c.onThread) loading.get_future().wait();  // the load is under way
    doomed.reset();
    std::size_t pendingBefore = ownQueue->pendingCount();
    if (c.queueDestroyed) ownQueue.reset();

    release.set_value();
    heldJobs.runAll();
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(slowEngines.constructions, 1);  // the job did run to its end
    if (ownQueue) {
      EXPECT_EQ(ownQueue->pendingCount(), pendingBefore);
    }
    EXPECT_THAT(seen, ElementsAre("preparing"));
  }
}

}  // namespace
}  // namespace parlet
