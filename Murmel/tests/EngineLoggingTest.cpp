#include "Murmel/common/EngineLogging.h"

#include <mutex>

#include <gtest/gtest.h>

#include "KestrumCore/tests/LogCapture.h"
#include "Murmel/common/WhisperError.h"

using namespace murmel;
using platform::system::SignpostEvent;
using platform::system::Signposter;

namespace {

TEST(EngineLoggingTest, ChannelsAreSharedAndNamed) {
  EXPECT_EQ(&Logging::AudioEncoding::signposter(), &Logging::AudioEncoding::signposter());
  EXPECT_EQ(Logging::AudioEncoding::logger().category(), "AudioEncoding");
  EXPECT_EQ(Logging::FeatureExtractor::signposter().category(), "FeatureExtractor");
  EXPECT_EQ(Logging::TranscribeTask::signposter().category(), "TranscribeTask");
  EXPECT_EQ(Logging::TranscribeTask::logger().subsystem(), Logging::AudioEncoding::logger().subsystem());
}

TEST(EngineLoggingTest, SignpostsBeginAndEndOneInterval) {
  std::mutex mutex;
  std::vector<SignpostEvent> events;
  auto previous = Signposter::setSink([&](const SignpostEvent& e) {
    std::lock_guard<std::mutex> hold(mutex);
    events.push_back(e);
  });
  const auto& poster = Logging::FeatureExtractor::signposter();
  auto state = Logging::beginSignpost("ExtractAudioFeatures", poster);
  Logging::endSignpost("ExtractAudioFeatures", state, poster);
  Logging::endSignpost("ExtractAudioFeatures", state, poster);
  Signposter::setSink(previous);

  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind, SignpostEvent::Kind::begin);
  EXPECT_EQ(events[0].name, "ExtractAudioFeatures");
  EXPECT_EQ(events[0].category, "FeatureExtractor");
  EXPECT_EQ(events[1].kind, SignpostEvent::Kind::end);
  EXPECT_EQ(events[1].id, events[0].id);
  EXPECT_EQ(events[1].message, "");
  EXPECT_EQ(events[2].message, Signposter::alreadyEndedMessage);
}

TEST(WhisperErrorTest, EqualityAndLoggedDescription) {
  EXPECT_EQ(WhisperError::tokenizerUnavailable("x"), WhisperError::tokenizerUnavailable("x"));
  EXPECT_FALSE(WhisperError::tokenizerUnavailable("x") == WhisperError::tokenizerUnavailable("y"));
  EXPECT_FALSE(WhisperError::tokenizerUnavailable("x") == WhisperError::modelsUnavailable("x"));

  testsupport::LogCapture log(Logging::LogLevel::error);
  WhisperError error = WhisperError::modelsUnavailable();
  EXPECT_STREQ(error.what(), "Models are unavailable");
  EXPECT_EQ(error.errorDescription(), "Models are unavailable");
  EXPECT_EQ(error.errorDescription(), "Models are unavailable");
  EXPECT_EQ(WhisperError::initializationError("").errorDescription(), "");
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Models are unavailable", "Models are unavailable", ""}));

  try {
    throw WhisperError::loadAudioFailed("Resource path does not exist /x.wav");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Resource path does not exist /x.wav");
  }
}

}  // namespace
