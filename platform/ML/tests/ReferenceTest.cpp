// The runtime against an independent numpy forward pass (reference_forward.py) of a tiny model:
// log-mel features, encoder output and the logits of step-by-step cached decoding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/ML/tests/DecoderSession.h"
#include "platform/ML/tests/TinyModel.h"

namespace platform::ml::testing {
namespace {

// A Python interpreter that has numpy, or empty.
std::string pythonWithNumpy() {
  for (const char* candidate : {"python3", "/usr/bin/python3"}) {
    const std::string command = std::string(candidate) + " -c 'import numpy' >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0) return candidate;
  }
  return {};
}

void writeFloats(const std::filesystem::path& path, const std::vector<float>& values) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(float)));
}

std::vector<float> readFloats(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<float> values(static_cast<std::size_t>(in.tellg()) / sizeof(float));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(float)));
  return values;
}

// Outputs are float16: within an absolute floor plus a share of the magnitude.
void expectClose(const std::vector<float>& actual, const std::vector<float>& expected, double absolute, double relative,
                 const char* what) {
  ASSERT_EQ(actual.size(), expected.size()) << what;
  for (std::size_t i = 0; i < actual.size(); ++i)
    ASSERT_NEAR(actual[i], expected[i], absolute + relative * std::abs(expected[i])) << what << " index " << i;
}

TEST(ReferenceTest, RuntimeAgreesWithNumpyOnMelEncoderAndDecoder) {
  const std::string python = pythonWithNumpy();
  if (python.empty()) GTEST_SKIP() << "numpy is not installed (Debian package python3-numpy); reference pass skipped";

  TinyModel tiny;
  const std::int64_t samples = tiny.dims.nAudioCtx * 2 * 160;
  auto audio = MLMultiArray::make({samples}, MLMultiArrayDataType::float32);
  for (std::int64_t i = 0; i < samples; ++i) {
    const double t = static_cast<double>(i) / 16000;
    audio->setValue(i, 0.4 * std::sin(2 * M_PI * 440 * t) + 0.2 * std::sin(2 * M_PI * 3100 * t) +
                           0.05 * std::sin(static_cast<double>(i * i % 977)));
  }
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

  const auto& dir = tiny.dir.path();
  writeFloats(dir / "audio.f32", audio->toFloats());
  writeFloats(dir / "mel_in.f32", mel->toFloats());
  writeFloats(dir / "encoded_in.f32", encoded->toFloats());
  std::ostringstream list;
  for (std::size_t i = 0; i < tokens.size(); ++i) list << (i ? "," : "") << tokens[i];
  const auto script = testsupport::sourceDir() / "platform/ML/tests/reference_forward.py";
  const std::string command = python + " " + script.string() + " " + dir.string() + " " + (dir / "audio.f32").string() +
                              " " + (dir / "mel_in.f32").string() + " " + (dir / "encoded_in.f32").string() + " " +
                              list.str() + " " + dir.string();
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  // Log-mel values lie in [-1.5, 1.5], where float16 steps are at most 1e-3: tight enough to see a
  // symmetric instead of a periodic window.
  expectClose(mel->toFloats(), readFloats(dir / "mel.f32"), 1e-3, 0.0, "log-mel");
  expectClose(encoded->toFloats(), readFloats(dir / "encoded.f32"), 4e-3, 2e-3, "encoder output");
  expectClose(logits, readFloats(dir / "logits.f32"), 0.02, 2e-3, "decoder logits");
}

}  // namespace
}  // namespace platform::ml::testing
