#include "platform/System/Signposter.h"

#include <vector>

#include <gtest/gtest.h>

namespace platform::system {
namespace {

class SignposterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Signposter::setSink([this](const SignpostEvent& event) { events.push_back(event); });
  }
  void TearDown() override { Signposter::setSink({}); }
  std::vector<SignpostEvent> events;
};

TEST_F(SignposterTest, IntervalEmitsOneBeginAndOneEndWithTheSameId) {
  Signposter signposter("org.parlet.test", "AudioEncoding");
  auto state = signposter.beginInterval("EncodeAudio");
  signposter.endInterval("EncodeAudio", state);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, SignpostEvent::Kind::begin);
  EXPECT_EQ(events[1].kind, SignpostEvent::Kind::end);
  for (const auto& event : events) {
    EXPECT_EQ(event.category, "AudioEncoding");
    EXPECT_EQ(event.name, "EncodeAudio");
    EXPECT_EQ(event.id, state.id());
    EXPECT_EQ(event.message, "");
  }
}

TEST_F(SignposterTest, EndingTwiceReportsTheIntervalAlreadyEnded) {
  Signposter signposter("org.parlet.test", "TranscribeTask");
  auto state = signposter.beginInterval("Decode");
  auto copy = state;
  signposter.endInterval("Decode", state);
  signposter.endInterval("Decode", copy);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1].message, "");
  EXPECT_EQ(events[2].kind, SignpostEvent::Kind::end);
  EXPECT_EQ(events[2].message, "[Error] Interval already ended");
}

TEST_F(SignposterTest, NothingIsEmittedWithoutASink) {
  Signposter::setSink({});
  EXPECT_FALSE(Signposter::isEnabled());
  Signposter signposter("org.parlet.test", "FeatureExtractor");
  auto first = signposter.beginInterval("ExtractAudioFeatures");
  auto second = signposter.beginInterval("ExtractAudioFeatures");
  signposter.endInterval("ExtractAudioFeatures", first);
  EXPECT_NE(first.id(), second.id());
  EXPECT_TRUE(events.empty());
}

}  // namespace
}  // namespace platform::system
