// The runtime against an independent numpy forward pass (reference_forward.py) of a tiny model:
// log-mel features, encoder output and the logits of step-by-step cached decoding. Every product
// here stays below the sizes where the runtime splits work; RealSizeReferenceTest covers those.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/ML/tests/DecoderSession.h"
#include "platform/ML/tests/InstructionSets.h"
#include "platform/ML/tests/NumpyReference.h"
#include "platform/ML/tests/TinyModel.h"

namespace platform::ml::testing {
namespace {

using ReferenceTest = EveryInstructionSet;

TEST_P(ReferenceTest, RuntimeAgreesWithNumpyOnMelEncoderAndDecoder) {
  const std::string python = pythonWithNumpy();
  if (python.empty()) GTEST_SKIP() << "numpy is not installed (Debian package python3-numpy); reference pass skipped";

  // Tones over the first half, then silence with one click. Frame f covers samples
  // [160·f − 200, 160·f + 200): frame 15 sees the click at 2596 four samples before its end, where
  // the periodic Hann window (N = 400) is 1.77 times the symmetric one (N − 1 = 399), so a
  // symmetric window moves that frame's log-mel values by about 0.12, far past the tolerance.
  TinyModel tiny;
  const std::int64_t samples = tiny.dims.nAudioCtx * 2 * 160;
  auto audio = MLMultiArray::make({samples}, MLMultiArrayDataType::float32);
  for (std::int64_t i = 0; i < samples / 2; ++i) {
    const double t = static_cast<double>(i) / 16000;
    audio->setValue(i, 0.04 * std::sin(2 * M_PI * 440 * t) + 0.02 * std::sin(2 * M_PI * 3100 * t) +
                           0.005 * std::sin(static_cast<double>(i * i % 977)));
  }
  audio->setValue(2596, 1.0);

  auto mel = tiny.load("MelSpectrogram")
                 ->prediction(MLDictionaryFeatureProvider({{"audio", MLFeatureValue(audio)}}))
                 ->featureValue("melspectrogram_features")
                 ->multiArrayValue();
  auto encoded = tiny.load("AudioEncoder")
                     ->prediction(MLDictionaryFeatureProvider({{"melspectrogram_features", MLFeatureValue(mel)}}))
                     ->featureValue("encoder_output_embeds")
                     ->multiArrayValue();
  const std::vector<int> tokens{3, 17, 17, 39, 0, 25};
  std::vector<float> logits;
  DecoderSession session(tiny.load("TextDecoder"));
  for (int token : tokens) {
    auto step = session.step(token, encoded)->featureValue("logits")->multiArrayValue()->toFloats();
    logits.insert(logits.end(), step.begin(), step.end());
  }

  const auto expected = runNumpyReference(python, tiny.dir.path(), tiny.dir.path(), *audio, *mel, *encoded, tokens);
  // Log-mel values lie in [-1.5, 1.5], where float16 steps are at most 1e-3.
  expectClose(mel->toFloats(), expected.mel, 1e-3, 0.0, "log-mel");
  expectClose(encoded->toFloats(), expected.encoded, 4e-3, 2e-3, "encoder output");
  expectClose(logits, expected.logits, 0.02, 2e-3, "decoder logits");
}

PARLET_ON_EVERY_INSTRUCTION_SET(ReferenceTest);

}  // namespace
}  // namespace platform::ml::testing
