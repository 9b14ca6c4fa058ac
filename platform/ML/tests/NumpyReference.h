// The independent numpy forward pass (reference_forward.py, float64) run on the runtime's own
// inputs: log-mel features of the audio, the encoder output of the runtime's features, and the
// logits of one full causal pass over the tokens on the runtime's encoder output. A test calls
// `pythonWithNumpy` first and skips when it is empty.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ML/MLMultiArray.h"
#include "testsupport/Fixtures.h"

namespace platform::ml::testing {

// A Python interpreter that has numpy, or empty.
inline std::string pythonWithNumpy() {
  for (const char* candidate : {"python3", "/usr/bin/python3"}) {
    const std::string command = std::string(candidate) + " -c 'import numpy' >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0) return candidate;
  }
  return {};
}

struct NumpyReference {
  std::vector<float> mel, encoded, logits;  // [n_mels × frames], [D × W], [tokens × V]
};

inline void writeFloatFile(const std::filesystem::path& path, const std::vector<float>& values) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(float)));
}

inline std::vector<float> readFloatFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::vector<float> values(static_cast<std::size_t>(in.tellg()) / sizeof(float));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(float)));
  return values;
}

// Runs the reference over the model folders in `models`, exchanging files through `work`. A failed
// run is a test failure and gives empty outputs.
inline NumpyReference runNumpyReference(const std::string& python, const std::filesystem::path& models,
                                        const std::filesystem::path& work, const MLMultiArray& audio,
                                        const MLMultiArray& mel, const MLMultiArray& encoded,
                                        const std::vector<int>& tokens) {
  writeFloatFile(work / "audio.f32", audio.toFloats());
  writeFloatFile(work / "mel_in.f32", mel.toFloats());
  writeFloatFile(work / "encoded_in.f32", encoded.toFloats());
  std::ostringstream list;
  for (std::size_t i = 0; i < tokens.size(); ++i) list << (i ? "," : "") << tokens[i];
  const auto script = testsupport::sourceDir() / "platform/ML/tests/reference_forward.py";
  const std::string command = python + " " + script.string() + " " + models.string() + " " +
                              (work / "audio.f32").string() + " " + (work / "mel_in.f32").string() + " " +
                              (work / "encoded_in.f32").string() + " " + list.str() + " " + work.string();
  if (std::system(command.c_str()) != 0) {
    ADD_FAILURE() << "the reference failed: " << command;
    return {};
  }
  return {readFloatFile(work / "mel.f32"), readFloatFile(work / "encoded.f32"),
          readFloatFile(work / "logits.f32")};
}

// Outputs are float16: each value within an absolute floor plus a share of the expected magnitude.
// Reports how many values are off, the first of them and the one furthest off.
inline void expectClose(const std::vector<float>& actual, const std::vector<float>& expected, double absolute,
                        double relative, const char* what) {
  ASSERT_EQ(actual.size(), expected.size()) << what;
  std::size_t off = 0, first = 0, worst = 0;
  double worstExcess = 0;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    const double excess = std::abs(actual[i] - expected[i]) - (absolute + relative * std::abs(expected[i]));
    if (excess > 0 || std::isnan(excess)) {
      if (off++ == 0) first = worst = i;
      if (excess > worstExcess) worstExcess = excess, worst = i;
    }
  }
  EXPECT_EQ(off, 0u) << what << ": " << off << " of " << actual.size() << " values off; the first at index " << first
                     << " (" << actual[first] << ", expected " << expected[first] << "), the furthest at index "
                     << worst << " (" << actual[worst] << ", expected " << expected[worst] << ")";
}

}  // namespace platform::ml::testing
