#include <gtest/gtest.h>

#include <stop_token>

#include "KestrumCore/Concurrency.h"
#include "Murmel/audio/AudioEncoder.h"
#include "Murmel/common/WhisperError.h"
#include "platform/ML/ModelFolders.h"
#include "platform/System/Signposter.h"
#include "testsupport/Fixtures.h"

namespace murmel {
namespace {

using platform::ml::MLComputeUnits;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;
using platform::system::SignpostEvent;
using platform::system::Signposter;

class AudioEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dims.nMels = 4, dims.nAudioCtx = 5, dims.nAudioState = dims.nTextState = 8, dims.nAudioHead = dims.nTextHead = 2;
    dims.nAudioLayer = dims.nTextLayer = 1, dims.nVocab = 10, dims.nTextCtx = 8, dims.nFf = 8, dims.kvCacheLength = 8;
    platform::ml::writeModelFolders(dir.path(), dims, platform::ml::randomWeights(dims, 3));
    previousSink = Signposter::setSink([this](const SignpostEvent& e) { events.push_back(e); });
  }
  void TearDown() override { Signposter::setSink(previousSink); }

  std::filesystem::path folder(const char* name) { return dir.path() / (std::string(name) + ".mlmodelc"); }

  template <class F> std::string messageOf(F&& f) {
    try {
      f();
    } catch (const WhisperError& e) {
      return e.what();
    }
    return "no error";
  }

  testsupport::TempDir dir;
  platform::ml::WhisperDimensions dims;
  Signposter::Sink previousSink;
  std::vector<SignpostEvent> events;
};

TEST_F(AudioEncoderTest, ChecksInputThenModelThenCancellationBeforeAnySignpost) {
  FeatureExtractor extractor;
  AudioEncoder encoder;
  EXPECT_EQ(extractor.melCount(), std::nullopt);
  EXPECT_EQ(extractor.windowSamples(), std::nullopt);
  EXPECT_EQ(extractor.modelState(), kestrum::ModelState::unloaded);

  auto samples = MLMultiArray::make({1600}, MLMultiArrayDataType::float32);
  EXPECT_EQ(messageOf([&] { extractor.logMelSpectrogram(nullptr); }), "FeatureExtractor input must be MLMultiArray");
  EXPECT_EQ(messageOf([&] { extractor.logMelSpectrogram(samples); }), "Models are unavailable");
  EXPECT_EQ(messageOf([&] { encoder.encodeFeatures(nullptr); }), "AudioEncoder input must be MLMultiArray");
  EXPECT_EQ(messageOf([&] { encoder.encodeFeatures(samples); }), "Models are unavailable");

  extractor.loadModel(folder("MelSpectrogram"), MLComputeUnits::cpuOnly, false);
  encoder.loadModel(folder("AudioEncoder"), MLComputeUnits::cpuOnly, false);
  std::stop_source stop;
  stop.request_stop();
  {
    kestrum::StopTokenScope cancelled(stop.get_token());
    EXPECT_EQ(messageOf([&] { extractor.logMelSpectrogram(nullptr); }), "FeatureExtractor input must be MLMultiArray");
    EXPECT_THROW(extractor.logMelSpectrogram(samples), kestrum::CancellationError);
    EXPECT_EQ(messageOf([&] { encoder.encodeFeatures(nullptr); }), "AudioEncoder input must be MLMultiArray");
    // The samples do not fit the encoder: a prediction would fail with a model error instead.
    EXPECT_THROW(encoder.encodeFeatures(samples), kestrum::CancellationError);
  }
  EXPECT_TRUE(events.empty());
}

TEST_F(AudioEncoderTest, WindowRunsThroughBothStagesInsideSignposts) {
  FeatureExtractor extractor;
  AudioEncoder encoder;
  extractor.loadModel(folder("MelSpectrogram"), MLComputeUnits::all, false);
  encoder.loadModel(folder("AudioEncoder"), MLComputeUnits::all, false);
  EXPECT_EQ(extractor.windowSamples(), 1600);
  EXPECT_EQ(extractor.melCount(), 4);
  EXPECT_EQ(encoder.embedSize(), 8);
  EXPECT_EQ(encoder.sequenceLength(), 5);

  auto samples = MLMultiArray::make({1600}, MLMultiArrayDataType::float32);
  for (std::int64_t i = 0; i < 1600; ++i) samples->setValue(i, (i % 40) / 40.0 - 0.5);
  auto mel = extractor.logMelSpectrogram(samples);
  ASSERT_TRUE(mel);
  EXPECT_EQ((*mel)->shape(), (std::vector<std::int64_t>{1, 4, 1, 10}));
  auto embeds = encoder.encodeFeatures(*mel);
  ASSERT_TRUE(embeds);
  EXPECT_EQ((*embeds)->shape(), (std::vector<std::int64_t>{1, 8, 1, 5}));

  std::vector<std::pair<SignpostEvent::Kind, std::string>> seen;
  for (const auto& e : events) seen.emplace_back(e.kind, e.name);
  EXPECT_EQ(seen, (std::vector<std::pair<SignpostEvent::Kind, std::string>>{
                      {SignpostEvent::Kind::begin, "ExtractAudioFeatures"},
                      {SignpostEvent::Kind::end, "ExtractAudioFeatures"},
                      {SignpostEvent::Kind::begin, "EncodeAudio"},
                      {SignpostEvent::Kind::end, "EncodeAudio"}}));

  // A prediction error (wrong shape) passes through and still ends its interval.
  events.clear();
  EXPECT_THROW(encoder.encodeFeatures(samples), platform::ml::MLModelError);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].kind, SignpostEvent::Kind::end);
}

TEST_F(AudioEncoderTest, PrewarmLeavesTheModelAbsentAndLoadErrorsKeepTheOldOne) {
  AudioEncoder encoder;
  encoder.loadModel(folder("AudioEncoder"), MLComputeUnits::cpuAndNeuralEngine, false);
  EXPECT_EQ(encoder.modelState(), kestrum::ModelState::loaded);
  EXPECT_EQ(encoder.model()->configuration().computeUnits, MLComputeUnits::cpuAndNeuralEngine);
  const auto held = encoder.model();
  EXPECT_THROW(encoder.loadModel(dir.path() / "Missing.mlmodelc", MLComputeUnits::all, false), platform::ml::MLModelError);
  EXPECT_EQ(encoder.model(), held);
  encoder.loadModel(folder("AudioEncoder"), MLComputeUnits::all, true);
  EXPECT_EQ(encoder.modelState(), kestrum::ModelState::unloaded);
  encoder.loadModel(folder("AudioEncoder"), MLComputeUnits::all, false);
  encoder.unloadModel();
  EXPECT_EQ(encoder.model(), nullptr);
}

}  // namespace
}  // namespace murmel
