// The runtime against the numpy reference at whisper-tiny's widths, where every path that splits
// work runs (the tiny model of ReferenceTest stays below all of them):
//   matrix products split by rows (above 64 rows): the mel spectrum over 3002 frames, the encoder's
//     layers over 1501 frames (one block of rows per thread, each through its projections,
//     attention and MLP), the decoder's cross-attention keys and values;
//   encoder self-attention by BLAS products in blocks of 64 query rows within each block, 6 heads;
//   matrix-vector products split in row blocks (above 256 KB of weights): every decoder projection
//     at width 384 (blocks of 42 rows) and the logits over 51,865 tokens (blocks of 85 rows).
// One layer on each side reaches them all. 1501 frames rather than whisper-tiny's 1500: products
// are split into an even number of row blocks, which an odd row count never fills evenly,
// whatever the number of cores.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/ML/ModelFolders.h"
#include "platform/ML/tests/DecoderSession.h"
#include "platform/ML/tests/InstructionSets.h"
#include "platform/ML/tests/NumpyReference.h"

namespace platform::ml::testing {
namespace {

WhisperDimensions realSizeDimensions() {
  WhisperDimensions d;
  d.nMels = 80;
  d.nAudioCtx = 1501;
  d.nAudioState = d.nTextState = 384;
  d.nAudioHead = d.nTextHead = 6;
  d.nAudioLayer = d.nTextLayer = 1;
  d.nVocab = 51865;
  d.nTextCtx = 448;
  d.nFf = 1536;
  d.kvCacheLength = 224;
  return d;
}

using RealSizeReferenceTest = EveryInstructionSet;

TEST_P(RealSizeReferenceTest, RuntimeAgreesWithNumpyPastEveryThreadingThreshold) {
  const std::string python = pythonWithNumpy();
  if (python.empty()) GTEST_SKIP() << "numpy is not installed (Debian package python3-numpy); reference pass skipped";

  const WhisperDimensions dims = realSizeDimensions();
  testsupport::TempDir dir;
  writeModelFolders(dir.path(), dims, randomWeights(dims, 11));

  // Two drifting tones and a little noise, with a quiet stretch, so frames differ from each other.
  const std::int64_t samples = dims.nAudioCtx * 2 * 160;
  auto audio = MLMultiArray::make({samples}, MLMultiArrayDataType::float32);
  std::uint32_t noise = 12345;
  for (std::int64_t i = 0; i < samples; ++i) {
    const double t = static_cast<double>(i) / 16000;
    noise = noise * 1664525u + 1013904223u;
    const double hiss = static_cast<double>(noise >> 8) / 16777216.0 - 0.5;
    const double level = t > 12 && t < 14 ? 0.01 : 1.0;
    audio->setValue(i, level * (0.3 * std::sin(2 * M_PI * (220 + 8 * t) * t) +
                                0.1 * std::sin(2 * M_PI * (2500 - 30 * t) * t) + 0.05 * hiss));
  }

  auto mel = MLModel::load(dir.path() / "MelSpectrogram.mlmodelc")
                 ->prediction(MLDictionaryFeatureProvider({{"audio", MLFeatureValue(audio)}}))
                 ->featureValue("melspectrogram_features")
                 ->multiArrayValue();
  auto encoded = MLModel::load(dir.path() / "AudioEncoder.mlmodelc")
                     ->prediction(MLDictionaryFeatureProvider({{"melspectrogram_features", MLFeatureValue(mel)}}))
                     ->featureValue("encoder_output_embeds")
                     ->multiArrayValue();
  // Each step attends over the ones before it; the last token is the last row of the table.
  const std::vector<int> tokens{50258, 50259, 50359, 50363, 2425, 51864};
  std::vector<float> logits;
  DecoderSession session(MLModel::load(dir.path() / "TextDecoder.mlmodelc"));
  for (int token : tokens) {
    auto step = session.step(token, encoded)->featureValue("logits")->multiArrayValue()->toFloats();
    logits.insert(logits.end(), step.begin(), step.end());
  }

  const auto expected = runNumpyReference(python, dir.path(), dir.path(), *audio, *mel, *encoded, tokens);
  expectClose(mel->toFloats(), expected.mel, 1e-3, 0.0, "log-mel");
  expectClose(encoded->toFloats(), expected.encoded, 4e-3, 2e-3, "encoder output");
  // The logits product reads the token table in half precision: at width 384 that moves each
  // logit by about 7e-3 (one standard deviation) from the float64 value.
  expectClose(logits, expected.logits, 0.05, 2e-3, "decoder logits");
}

PARLET_ON_EVERY_INSTRUCTION_SET(RealSizeReferenceTest);

}  // namespace
}  // namespace platform::ml::testing
