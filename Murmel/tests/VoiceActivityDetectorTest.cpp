#include "Murmel/audio/VoiceActivityDetector.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace murmel {
namespace {

// Scripted flags, to test the span and silence rules apart from any energy rule.
class ScriptedVAD : public VoiceActivityDetector {
 public:
  ScriptedVAD(std::vector<bool> flags, std::int64_t frameLength = 1600)
      : VoiceActivityDetector(16000, frameLength, 0), flags_(std::move(flags)) {}
  std::vector<bool> voiceActivity(std::span<const float>) const override { return flags_; }

 private:
  std::vector<bool> flags_;
};

// Frames of `frame` samples, each at a constant level.
std::vector<float> levels(const std::vector<float>& perFrame, std::size_t frame = 1600) {
  std::vector<float> out;
  for (float level : perFrame) out.insert(out.end(), frame, level);
  return out;
}

TEST(EnergyVADTest, CountsPartialLastFrameAndComparesStrictly) {
  EnergyVAD vad;
  auto samples = levels({0.5f, 0.02f, 0.0f, 0.5f});
  samples.resize(16100);  // 10 whole frames and 100 samples, silent after frame 3
  std::fill(samples.end() - 100, samples.end(), 0.3f);
  auto flags = vad.voiceActivity(samples);
  ASSERT_EQ(flags.size(), 11u);
  EXPECT_TRUE(flags[0]);
  EXPECT_FALSE(flags[1]) << "rms equal to the threshold is inactive";
  EXPECT_FALSE(flags[2]);
  EXPECT_TRUE(flags[3]);
  EXPECT_TRUE(flags[10]) << "the 100-sample tail is a frame of its own";
  EXPECT_TRUE(vad.voiceActivity({}).empty());
}

TEST(EnergyVADTest, OverlapWidensEnergyWindowNotFrameStep) {
  // Frame 0 is silent over its own 1,600 samples but reaches 400 samples into a loud frame 1.
  auto samples = levels({0.0f, 0.2f, 0.0f});
  EnergyVAD plain(16000, 1600, 0, 0.05f);
  EnergyVAD overlapping(16000, 1600, 400, 0.05f);
  EXPECT_EQ(plain.voiceActivity(samples), (std::vector<bool>{false, true, false}));
  // rms of frame 0 with overlap: sqrt(400 * 0.04 / 2000) = 0.089 > 0.05.
  EXPECT_EQ(overlapping.voiceActivity(samples), (std::vector<bool>{true, true, false}));
  EXPECT_EQ(overlapping.calculateActiveChunks(samples), (std::vector<IndexRange>{{0, 3200}}));
}

TEST(EnergyVADTest, GeometryFromSecondsAndStandardDetector) {
  EXPECT_EQ(EnergyVAD::fromSeconds(16000, 0.1f, 0.0f, 0.02f).frameLengthSamples(), 1600);
  EXPECT_EQ(EnergyVAD::fromSeconds(16000, 0.1f, 0.025f, 0.02f).frameOverlapSamples(), 400);
  EnergyVAD standard;
  EXPECT_EQ(standard.sampleRate(), 16000);
  EXPECT_EQ(standard.frameLengthSamples(), 1600);
  EXPECT_EQ(standard.frameOverlapSamples(), 0);
  EXPECT_FLOAT_EQ(standard.energyThreshold(), 0.02f);
  EXPECT_FLOAT_EQ(standard.voiceActivityIndexToSeconds(15), 1.5f);
  EXPECT_EQ(standard.voiceActivityIndexToAudioSampleIndex(15), 24000);
}

TEST(VoiceActivityDetectorTest, RejectsBadGeometryAndBaseRule) {
  EXPECT_THROW(EnergyVAD(16000, 0, 0, 0.02f), std::invalid_argument);
  EXPECT_THROW(EnergyVAD(16000, 1600, -1, 0.02f), std::invalid_argument);
  EXPECT_THROW(EnergyVAD(0, 1600, 0, 0.02f), std::invalid_argument);
  EXPECT_THROW(EnergyVAD::fromSeconds(16000, 0.00001f), std::invalid_argument);
  VoiceActivityDetector base(16000, 1600, 0);
  try {
    base.voiceActivity(std::vector<float>(10));
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "`voiceActivity` must be implemented by subclass");
  }
}

TEST(VoiceActivityDetectorTest, ActiveChunksFollowRunsOfActiveFrames) {
  ScriptedVAD vad({false, true, true, false, true});
  EXPECT_EQ(vad.calculateActiveChunks(std::vector<float>(8000)),
            (std::vector<IndexRange>{{1600, 4800}, {6400, 8000}}));
  // The last span stops at the sample count.
  EXPECT_EQ(vad.calculateActiveChunks(std::vector<float>(7000)),
            (std::vector<IndexRange>{{1600, 4800}, {6400, 7000}}));
}

TEST(VoiceActivityDetectorTest, LongestSilence) {
  ScriptedVAD vad({});
  struct Case {
    std::vector<bool> flags;
    std::optional<IndexRange> expected;
  };
  const Case cases[] = {
      {{true, false, false, true, false, false, true}, IndexRange{1, 3}},
      {{true, true}, std::nullopt},
      {{}, std::nullopt},
      {{false, false, false, false, false}, IndexRange{0, 5}},
      {{true, false, true, false, false, false}, IndexRange{3, 6}},
  };
  for (const auto& c : cases) EXPECT_EQ(vad.findLongestSilence(c.flags), c.expected);
}

}  // namespace
}  // namespace murmel
