#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <mutex>

#include "KestrumCore/tests/LogCapture.h"
#include "Murmel/audio/AudioProcessor.h"
#include "Murmel/common/WhisperError.h"
#include "platform/Audio/FakeCaptureEngine.h"

namespace murmel {
namespace {

using platform::audio::CaptureError;
using platform::audio::FakeCaptureEngine;

// Hands the processor fake engines and keeps them for the test.
struct EngineFarm {
  FakeCaptureEngine::Script script;
  std::vector<std::shared_ptr<FakeCaptureEngine>> engines;
  platform::audio::CaptureEngineFactory factory() {
    return [this] {
      engines.push_back(std::make_shared<FakeCaptureEngine>(script));
      return engines.back();
    };
  }
  FakeCaptureEngine& last() { return *engines.back(); }
};

using testsupport::LogCapture;

std::vector<std::vector<float>> mono(std::size_t n, float level) { return {std::vector<float>(n, level)}; }

TEST(AudioProcessorLiveTest, CapturedBuffersReachStoreEnergiesAndCallback) {
  EngineFarm farm;
  AudioProcessor processor(farm.factory());
  std::vector<std::size_t> delivered;
  processor.startRecordingLive(std::nullopt, [&](const std::vector<float>& s) { delivered.push_back(s.size()); });
  EXPECT_EQ(farm.last().tapBufferSize(), 1600u);
  ASSERT_TRUE(farm.last().push(mono(1600, 0.01f)));
  ASSERT_TRUE(farm.last().push(mono(1600, 0.1f)));
  ASSERT_TRUE(farm.last().push(mono(1600, 0.0f)));

  EXPECT_EQ(processor.audioSampleCount(), 4800u);
  EXPECT_EQ(delivered, (std::vector<std::size_t>{1600, 1600, 1600}));
  auto energy = processor.audioEnergy();
  ASSERT_EQ(energy.size(), 3u);
  EXPECT_EQ(energy[0].rel, 0.0f) << "no earlier record: reference is +infinity";
  // 0.1 against the quietest recent level 0.01: (-20 - -40) / 40 = 0.5.
  EXPECT_NEAR(energy[1].rel, 0.5f, 1e-5);
  EXPECT_NEAR(energy[1].avg, 0.1f, 1e-6);
  EXPECT_EQ(energy[2].rel, 0.0f) << "silence";
  EXPECT_EQ(processor.relativeEnergy(), (std::vector<float>{energy[0].rel, energy[1].rel, energy[2].rel}));

  processor.purgeAudioSamples(5000);
  EXPECT_EQ(processor.audioSampleCount(), 4800u);
  processor.purgeAudioSamples(100);
  EXPECT_EQ(processor.audioSamples(), std::vector<float>(100, 0.0f));
  processor.purgeAudioSamples(0);
  EXPECT_EQ(processor.audioSampleCount(), 0u);
}

TEST(AudioProcessorLiveTest, RestartingCaptureDoesNotDoubleSamples) {
  EngineFarm farm;
  AudioProcessor processor(farm.factory());
  processor.startRecordingLive();
  farm.last().push(mono(1600, 0.2f));
  processor.startRecordingLive();
  ASSERT_EQ(farm.engines.size(), 2u);
  EXPECT_FALSE(farm.engines[0]->isRunning());
  EXPECT_FALSE(farm.engines[0]->push(mono(1600, 0.2f)));
  EXPECT_TRUE(farm.engines[1]->push(mono(1600, 0.3f)));
  EXPECT_EQ(processor.audioSamples(), std::vector<float>(1600, 0.3f));

  // Resuming on another device replaces the engine and stops the old one; the store is kept.
  farm.script.deviceIds = {0, 7};
  processor.resumeRecordingLive(7u);
  ASSERT_EQ(farm.engines.size(), 3u);
  EXPECT_FALSE(farm.engines[1]->isRunning());
  EXPECT_EQ(farm.engines[2]->selectedDevice(), 7u);
  farm.engines[2]->push(mono(100, 0.3f));
  EXPECT_EQ(processor.audioSampleCount(), 1700u);
}

TEST(AudioProcessorLiveTest, PauseAndResumeOnTheSameDeviceKeepEngineCallbackAndStore) {
  EngineFarm farm;
  AudioProcessor processor(farm.factory());
  int calls = 0;
  processor.startRecordingLive(std::nullopt, [&](const std::vector<float>&) { ++calls; });
  farm.last().push(mono(10, 0.1f));
  processor.pauseRecording();
  EXPECT_FALSE(farm.last().push(mono(10, 0.1f)));
  processor.resumeRecordingLive();
  EXPECT_EQ(farm.engines.size(), 1u);
  farm.last().push(mono(10, 0.1f));
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(processor.audioSampleCount(), 20u);

  processor.stopRecording();
  EXPECT_FALSE(farm.last().isRunning());
  EXPECT_FALSE(farm.last().hasTap());
  EXPECT_EQ(processor.audioSampleCount(), 20u);
}

TEST(AudioProcessorLiveTest, HardwareRateBuffersAreConvertedToSixteenKilohertzMono) {
  EngineFarm farm;
  farm.script.sampleRate = 48000;
  farm.script.channelCount = 2;
  AudioProcessor processor(farm.factory());
  processor.startRecordingLive();
  std::vector<float> tone(4800);
  for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = 0.4f * std::sin(2 * 3.14159265f * 500 * i / 48000);
  ASSERT_TRUE(farm.last().push({tone, tone}));
  auto samples = processor.audioSamples();
  EXPECT_NEAR(static_cast<double>(samples.size()), 1600.0, 1.0);
  // Mid-buffer the 500 Hz tone keeps its level: rms 0.4 / sqrt(2).
  double sum = 0;
  for (std::size_t i = 400; i < 1200; ++i) sum += samples[i] * samples[i];
  EXPECT_NEAR(std::sqrt(sum / 800), 0.4 / std::sqrt(2.0), 0.01);
}

TEST(AudioProcessorLiveTest, SuppressedInputArrivesAsZerosWithEnergyRecords) {
  EngineFarm farm;
  AudioProcessor processor(farm.factory());
  processor.startRecordingLive();
  processor.setInputSuppressed(true);
  farm.last().push(mono(160, 0.5f));
  EXPECT_EQ(processor.audioSamples(), std::vector<float>(160, 0.0f));
  EXPECT_EQ(processor.audioEnergy().size(), 1u);
}

TEST(AudioProcessorLiveTest, StartFailuresLeaveAnEmptiedStore) {
  EngineFarm farm;
  AudioProcessor processor(farm.factory());
  processor.startRecordingLive();
  farm.last().push(mono(10, 0.1f));

  farm.script.hasInputDevice = false;
  try {
    processor.startRecordingLive();
    FAIL();
  } catch (const WhisperError& e) {
    EXPECT_EQ(e.kind(), WhisperError::Kind::microphoneUnavailable);
  }
  EXPECT_EQ(processor.audioSampleCount(), 0u);
  EXPECT_FALSE(processor.isRecording());

  farm.script.hasInputDevice = true;
  farm.script.failOnStart = true;
  EXPECT_THROW(processor.startRecordingLive(), CaptureError);
  EXPECT_FALSE(farm.last().hasTap());
}

TEST(AudioProcessorLiveTest, StreamYieldsBuffersAndStopsCaptureWhenCancelled) {
  EngineFarm farm;
  AudioProcessor processor(farm.factory());
  auto [stream, continuation] = processor.startStreamingRecordingLive();
  farm.last().push(mono(3, 0.1f));
  farm.last().push(mono(2, 0.2f));
  EXPECT_EQ(stream.next(), std::vector<float>(3, 0.1f));
  EXPECT_EQ(stream.next(), std::vector<float>(2, 0.2f));
  stream.cancel();
  EXPECT_FALSE(farm.last().isRunning());
  EXPECT_FALSE(processor.audioBufferCallback());
  EXPECT_EQ(stream.next(), std::nullopt);

  farm.script.hasInputDevice = false;
  auto [failed, unused] = processor.startStreamingRecordingLive();
  EXPECT_THROW(failed.next(), WhisperError);
}

// The reference level is the quietest of the last 20 records whatever the report period says:
// one quiet buffer (0.01) and then loud ones (0.1); the next loud buffer is half way up
// ((-20 - -40) / 40) while the quiet one is among the last 20, and at 0 once it has left them.
TEST(AudioProcessorLiveTest, RelativeEnergyIsTakenAgainstTheLastTwentyRecords) {
  struct Case {
    std::int64_t window;  // relativeEnergyWindow, the report period only
    int loudBefore;       // loud buffers between the quiet one and the one measured
    float rel;
  } cases[] = {
      {3, 3, 0.5f}, {3, 19, 0.5f}, {3, 20, 0.0f}, {20, 19, 0.5f}, {20, 20, 0.0f}, {30, 20, 0.0f}, {30, 25, 0.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("window " + std::to_string(c.window) + ", " + std::to_string(c.loudBefore) + " loud buffers before");
    EngineFarm farm;
    AudioProcessor processor(farm.factory());
    processor.setRelativeEnergyWindow(c.window);
    processor.startRecordingLive();
    farm.last().push(mono(1600, 0.01f));
    for (int i = 0; i < c.loudBefore; ++i) farm.last().push(mono(1600, 0.1f));
    farm.last().push(mono(1600, 0.1f));
    const auto energy = processor.audioEnergy();
    ASSERT_EQ(energy.size(), static_cast<std::size_t>(c.loudBefore) + 2);
    EXPECT_NEAR(energy.back().rel, c.rel, 1e-5);
  }
}

TEST(AudioProcessorLiveTest, DebugReportEveryTwoSecondsOfSamples) {
  LogCapture log;
  EngineFarm farm;
  AudioProcessor processor(farm.factory());
  processor.startRecordingLive();
  for (int i = 0; i < 40; ++i) farm.last().push(mono(1600, 0.1f));
  auto reports = log.containing("Current audio size: ");
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].rfind("Current audio size: 32000 samples, most recent buffer: 1600 samples", 0), 0u);
  EXPECT_EQ(log.containing("Current audio size: 64000").size(), 1u);

  processor.setRelativeEnergyWindow(0);  // no period: no report, capture goes on
  for (int i = 0; i < 20; ++i) farm.last().push(mono(1600, 0.1f));
  EXPECT_EQ(log.containing("Current audio size: ").size(), 2u);
  EXPECT_EQ(processor.audioSampleCount(), 96000u);
}

TEST(AudioProcessorLiveTest, DevicesAndPermissionWithoutSoundCard) {
  // No sound card here: an empty list (the failure is logged); with one, ids are distinct.
  auto devices = AudioProcessor::getAudioDevices();
  for (std::size_t i = 1; i < devices.size(); ++i) EXPECT_NE(devices[i].id, devices[i - 1].id);
  EXPECT_TRUE(AudioProcessor::requestRecordPermission());
  // The real engine either captures or fails with an error; it never crashes.
  AudioProcessor processor;
  try {
    processor.startRecordingLive();
    processor.stopRecording();
  } catch (const std::exception& e) {
    EXPECT_FALSE(std::string(e.what()).empty());
  }
}

TEST(AudioEnergyTest, EnergyFormulas) {
  const std::vector<float> samples{0.5f, -0.5f, 0.25f, -0.25f};
  auto energy = AudioProcessor::calculateEnergy(samples);
  EXPECT_NEAR(energy.avg, std::sqrt((0.25 + 0.25 + 0.0625 + 0.0625) / 4), 1e-6);
  EXPECT_FLOAT_EQ(energy.max, 0.5f);
  EXPECT_FLOAT_EQ(energy.min, 0.25f);
  // Full scale is 1; the default reference 0.001 (-60 dB) is 0; -30 dB lies halfway.
  EXPECT_NEAR(AudioProcessor::calculateRelativeEnergy(std::vector<float>(8, 1.0f), std::nullopt), 1.0f, 1e-6);
  EXPECT_NEAR(AudioProcessor::calculateRelativeEnergy(std::vector<float>(8, 0.001f), std::nullopt), 0.0f, 1e-5);
  EXPECT_NEAR(AudioProcessor::calculateRelativeEnergy(std::vector<float>(8, std::sqrt(0.001f)), std::nullopt), 0.5f, 1e-5);
  EXPECT_EQ(AudioProcessor::calculateRelativeEnergy(std::vector<float>(8, 0.0f), 0.1f), 0.0f);
}

TEST(AudioEnergyTest, VoiceDetectedLooksAtTheOlderRecentValues) {
  std::vector<float> energy(25, 0.0f);
  energy[20] = 0.9f;  // among the last 10 of the 20 recent values
  EXPECT_FALSE(AudioProcessor::isVoiceDetected(energy, 2.0f, 0.3f));
  EXPECT_TRUE(AudioProcessor::isVoiceDetected(energy, 1.0f, 0.3f));  // 10 recent: all looked at
  energy[6] = 0.9f;
  EXPECT_TRUE(AudioProcessor::isVoiceDetected(energy, 2.0f, 0.3f));
  EXPECT_FALSE(AudioProcessor::isVoiceDetected(energy, -1.0f, 0.3f));
  EXPECT_FALSE(AudioProcessor::isVoiceDetected({}, 2.0f, 0.3f));
}

TEST(AudioEnergyTest, VoiceActivityInChunksStaysInsideTheSamples) {
  // Frames of 1,600 samples: loud, silent, loud. A frame reaching outside the samples covers only
  // the part inside them; an empty frame has energy 0 and is inactive.
  std::vector<float> samples(4800, 0.5f);
  std::fill(samples.begin() + 1600, samples.begin() + 3200, 0.0f);
  const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
  struct Case {
    const char* name;
    std::int64_t chunkCount, frameLength, overlap;
    std::vector<bool> expected;
  };
  const Case cases[] = {
      {"frames of the samples", 3, 1600, 0, {true, false, true}},
      {"frames past the end are empty", 5, 1600, 0, {true, false, true, false, false}},
      {"negative frame length", 3, -1600, 0, {false, false, false}},
      {"frame length too large to multiply", 3, huge, 0, {true, false, false}},
      {"overlap too large to add", 2, 1600, huge, {true, true}},
      {"overlap that cancels the frame", 3, 1600, -1600, {false, false, false}},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(samples, test.chunkCount, test.frameLength, test.overlap,
                                                             0.02f),
              test.expected);
  }
}

TEST(AudioEnergyTest, NonSilentChunksUseTheStandardDetector) {
  std::vector<float> samples(8000, 0.0f);
  std::fill(samples.begin() + 1600, samples.begin() + 4800, 0.5f);
  EXPECT_EQ(AudioProcessor::calculateNonSilentChunks(samples), (std::vector<IndexRange>{{1600, 4800}}));
}

}  // namespace
}  // namespace murmel
