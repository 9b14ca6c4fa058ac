// Loads a generated 10-minute 44.1 kHz stereo WAV file (16-bit) as 16 kHz mono samples, the way the
// engine reads a recording: AudioProcessor::loadAudioAsFloatArray. Target: under 1 s per load.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <string>

#include "Murmel/audio/AudioProcessor.h"
#include "platform/Audio/AudioFileWriter.h"

namespace {

constexpr double kSeconds = 600;
constexpr double kRate = 44100;

// A temporary folder holding the test file, removed at exit.
class TestFile {
 public:
  TestFile() {
    std::string pattern = (std::filesystem::temp_directory_path() / "parlet-audio-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    dir_ = pattern;
    path_ = (dir_ / "ten-minutes.wav").string();
    const auto frames = static_cast<std::size_t>(kSeconds * kRate);
    std::vector<float> left(frames), right(frames);
    // Two tones that drift in pitch, and a little noise, so no stretch repeats.
    std::uint32_t noise = 12345;
    for (std::size_t i = 0; i < frames; ++i) {
      const double t = i / kRate;
      noise = noise * 1664525u + 1013904223u;
      const float n = static_cast<float>(noise >> 8) / 16777216.0f - 0.5f;
      left[i] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * (220 + 0.2 * t) * t)) + 0.02f * n;
      right[i] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * (330 + 0.1 * t) * t)) - 0.02f * n;
    }
    platform::audio::writeAudioFile(path_, kRate, {left, right}, platform::audio::AudioFileType::wav16);
  }
  ~TestFile() {
    std::error_code error;
    std::filesystem::remove_all(dir_, error);
  }
  const std::string& path() const { return path_; }

 private:
  std::filesystem::path dir_;
  std::string path_;
};

const TestFile& testFile() {
  static TestFile file;
  return file;
}

void BM_LoadAndResampleTenMinuteStereo(benchmark::State& state) {
  const std::string& path = testFile().path();
  std::size_t samples = 0;
  for (auto _ : state) {
    auto audio = murmel::AudioProcessor::loadAudioAsFloatArray(path);
    samples = audio.size();
    benchmark::DoNotOptimize(audio.data());
  }
  state.counters["output_samples"] = static_cast<double>(samples);
  state.counters["audio_seconds_per_second"] =
      benchmark::Counter(kSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LoadAndResampleTenMinuteStereo)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
