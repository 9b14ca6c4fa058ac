#include "Parlet/core/Transcriber.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Parlet/core/tests/Fakes.h"

namespace parlet {

struct TranscriberProbe {
  // Without the lock, which a faulty Transcriber might hold through the whole creation.
  static std::size_t joins(const Transcriber& transcriber) { return transcriber.joins_.load(); }
};

namespace {

using ::testing::ElementsAre;

TEST(TranscriberTest, CreatesTheEngineForBaseEnWithTheApplicationsArguments) {
  testing::FakeEngineFactory engines;
  Transcriber transcriber(engines.factory());
  transcriber.ensure();
  ASSERT_EQ(engines.options.size(), 1u);
  const EngineOptions& o = engines.options[0];
  EXPECT_EQ(o.model, "base.en");
  EXPECT_FALSE(o.downloadBase || o.modelRepo || o.modelFolder || o.tokenizerFolder || o.prewarm || o.load);
  EXPECT_TRUE(o.verbose);
  EXPECT_EQ(o.logLevel, kestrum::Logging::LogLevel::info);
  EXPECT_TRUE(o.download);
  EXPECT_FALSE(o.useBackgroundDownloadSession);
}

TEST(TranscriberTest, JoinsResultTextsWithOneBlankAndTrimsOnlyTheEnds) {
  struct Case {
    std::vector<EngineResult> results;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{}, ""},
      {{{" Hello"}, {" world"}}, "Hello  world"},
      {{{"\n Line one."}, {"Line two.\n"}}, "Line one. Line two."},
      {{{"   "}}, ""},
  };
  for (const Case& c : cases) {
    testing::FakeEngineFactory engines;
    engines.engine->results = c.results;
    Transcriber transcriber(engines.factory());
    EXPECT_EQ(transcriber.transcribe("/tmp/a.wav"), c.expected);
    EXPECT_THAT(engines.engine->paths, ElementsAre("/tmp/a.wav"));
  }
}

TEST(TranscriberTest, TranscriptCarriesEverySegmentsNoSpeechProbabilityAndTheEnginesThreshold) {
  testing::FakeEngineFactory engines;
  engines.engine->results = {{" Put the cup", {0.25f, 0.5f}}, {" down. ", {0.75f}}};
  engines.engine->threshold = 0.5f;
  Transcriber transcriber(engines.factory());
  const Transcript transcript = transcriber.transcript("/tmp/a.wav");
  EXPECT_EQ(transcript.text, "Put the cup  down.");
  EXPECT_THAT(transcript.noSpeechProbs, ElementsAre(0.25f, 0.5f, 0.75f));
  EXPECT_EQ(transcript.noSpeechThreshold, 0.5f);
}

TEST(TranscriberTest, AFailedLoadIsRetriedByTheNextCallAndTheEngineIsKept) {
  testing::FakeEngineFactory engines;
  engines.failures = 1;
  engines.engine->results = {{"hi"}};
  Transcriber transcriber(engines.factory());
  try {
    transcriber.transcribe("a.wav");
    FAIL() << "expected the load error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "model download failed");  // unchanged
  }
  EXPECT_EQ(transcriber.transcribe("a.wav"), "hi");
  EXPECT_EQ(transcriber.transcribe("b.wav"), "hi");
  EXPECT_EQ(engines.constructions, 2);
}

TEST(TranscriberTest, EngineErrorsPassThroughUnchanged) {
  testing::FakeEngineFactory engines;
  engines.engine->error = "unsupported audio file";
  Transcriber transcriber(engines.factory());
  EXPECT_THROW(
      {
        try {
          transcriber.transcribe("x.wav");
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ(error.what(), "unsupported audio file");
          throw;
        }
      },
      std::runtime_error);
}

TEST(TranscriberTest, CallersArrivingDuringACreationJoinItAndShareItsOutcome) {
  for (bool fails : {false, true}) {
    SCOPED_TRACE(fails ? "the creation fails" : "the creation succeeds");
    testing::FakeEngineFactory engines;
    engines.failures = fails ? 1 : 0;
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> firstCreation{true};
    engines.duringConstruction = [&] {
      if (!firstCreation.exchange(false)) return;  // a caller that did not join runs a creation of its own
      entered.set_value();
      released.wait();
    };
    Transcriber transcriber(engines.factory());
    auto call = [&] { return std::async(std::launch::async, [&] { return transcriber.ensure(); }); };
    auto first = call();
    entered.get_future().wait();  // the first caller is inside the creation

    std::vector<std::future<std::shared_ptr<SpeechEngine>>> others;
    for (int i = 0; i < 3; ++i) others.push_back(call());
    // Released only once all three wait on the creation in flight, so that the outcome does not
    // depend on how the threads are scheduled.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (TranscriberProbe::joins(transcriber) < 3 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(TranscriberProbe::joins(transcriber), 3u) << "callers did not join the creation in flight";
    for (auto& other : others) EXPECT_EQ(other.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

    release.set_value();
    if (fails) {
      EXPECT_THROW(first.get(), std::runtime_error);
      for (auto& other : others) {
        try {
          other.get();
          ADD_FAILURE() << "a caller that joined a failed creation got an engine";
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ(error.what(), "model download failed");
        }
      }
    } else {
      auto engine = first.get();
      ASSERT_TRUE(engine);
      for (auto& other : others) EXPECT_EQ(other.get(), engine);
    }
    EXPECT_EQ(engines.constructions, 1);
  }
}

}  // namespace
}  // namespace parlet
