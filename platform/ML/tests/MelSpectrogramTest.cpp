#include <gtest/gtest.h>

#include <cmath>

#include "platform/ML/tests/TinyModel.h"

namespace platform::ml::testing {
namespace {

// The front end at its real size (80 bands, 30 s); the other models stay tiny.
class MelSpectrogramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WhisperDimensions dims = tinyDimensions();
    dims.nMels = 80;
    dims.nAudioCtx = 1500;
    writeModelFolders(dir.path(), dims, randomWeights(dims, 1));
    model = MLModel::load(dir.path() / "MelSpectrogram.mlmodelc");
  }

  std::vector<float> features(const std::shared_ptr<MLMultiArray>& audio) {
    auto out = model->prediction(MLDictionaryFeatureProvider({{"audio", MLFeatureValue(audio)}}));
    auto mel = out->featureValue("melspectrogram_features")->multiArrayValue();
    EXPECT_EQ(mel->shape(), (std::vector<std::int64_t>{1, 80, 1, 3000}));
    return mel->toFloats();
  }

  testsupport::TempDir dir;
  std::shared_ptr<MLModel> model;
};

TEST_F(MelSpectrogramTest, SilenceGivesTheFloorEverywhere) {
  // log10(1e-10) = -10, clamped at itself, (−10 + 4) / 4 = −1.5.
  auto audio = MLMultiArray::make({480000}, MLMultiArrayDataType::float32);
  for (float v : features(audio)) ASSERT_EQ(v, -1.5f);
}

TEST_F(MelSpectrogramTest, OneKilohertzSinePeaksInItsBand) {
  // 1 kHz is 15 on the Slaney scale; band centres sit at (m + 1) · mel(8 kHz) / 81 = (m + 1) · 0.5586,
  // so band 26 (centre 15.08) is the nearest. Values sit on the clamp floor far from it.
  auto audio = MLMultiArray::make({480000}, MLMultiArrayDataType::float32);
  for (std::int64_t i = 0; i < 480000; ++i) audio->setValue(i, 0.5 * std::sin(2 * M_PI * 1000.0 * static_cast<double>(i) / 16000));
  const auto mel = features(audio);
  std::vector<double> bandMeans(80, 0.0);
  for (std::size_t m = 0; m < 80; ++m)
    for (std::size_t t = 0; t < 3000; ++t) bandMeans[m] += mel[m * 3000 + t] / 3000.0;
  const auto peak = std::max_element(bandMeans.begin(), bandMeans.end()) - bandMeans.begin();
  EXPECT_EQ(peak, 26);
  const float top = *std::max_element(mel.begin(), mel.end());
  EXPECT_NEAR(mel[79 * 3000 + 1500], top - 2.0f, 2e-3);  // 8 decades below the top, scaled by 1/4
}

}  // namespace
}  // namespace platform::ml::testing
