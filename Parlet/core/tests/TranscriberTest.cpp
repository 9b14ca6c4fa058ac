#include "Parlet/core/Transcriber.h"

#include <future>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Parlet/core/tests/Fakes.h"

namespace parlet {
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

TEST(TranscriberTest, ConcurrentCallersShareOneCreation) {
  testing::FakeEngineFactory engines;
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  engines.duringConstruction = [&] {
    entered.set_value();
    released.wait();
  };
  Transcriber transcriber(engines.factory());
  auto first = std::async(std::launch::async, [&] { return transcriber.ensure(); });
  entered.get_future().wait();  // the first caller is inside the creation
  std::vector<std::future<std::shared_ptr<SpeechEngine>>> others;
  for (int i = 0; i < 3; ++i) others.push_back(std::async(std::launch::async, [&] { return transcriber.ensure(); }));
  release.set_value();
  auto engine = first.get();
  for (auto& other : others) EXPECT_EQ(other.get(), engine);
  EXPECT_EQ(engines.constructions, 1);
}

}  // namespace
}  // namespace parlet
