#include "Parlet/core/detail/CaptureFileWriter.h"

#include <cmath>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <sndfile.h>

#include "testsupport/Fixtures.h"

namespace parlet::detail {
namespace {

struct WavFile {
  SF_INFO info{};
  std::vector<float> samples;
};

WavFile readWav(const std::filesystem::path& path) {
  WavFile wav;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &wav.info);
  if (!file) throw std::runtime_error(sf_strerror(nullptr));
  wav.samples.resize(static_cast<std::size_t>(wav.info.frames * wav.info.channels));
  sf_readf_float(file, wav.samples.data(), wav.info.frames);
  sf_close(file);
  return wav;
}

std::vector<float> sine(double rate, double seconds, double amplitude) {
  std::vector<float> out(static_cast<std::size_t>(rate * seconds));
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * 440.0 * i / rate));
  return out;
}

double rms(const std::vector<float>& samples, std::size_t from, std::size_t to) {
  double sum = 0;
  for (std::size_t i = from; i < to; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  return std::sqrt(sum / static_cast<double>(to - from));
}

TEST(CaptureFileWriterTest, WritesSixteenKilohertzMonoSixteenBitPcm) {
  for (double inputRate : {16000.0, 44100.0, 48000.0}) {
    SCOPED_TRACE(inputRate);
    testsupport::TempDir dir;
    std::filesystem::path url = dir.path() / "parlet-test.wav";
    std::vector<float> input = sine(inputRate, 1.0, 0.5);
    {
      CaptureFileWriter writer(url, RecordingSettings{}, inputRate);
      const std::size_t block = static_cast<std::size_t>(inputRate * 0.032);
      for (std::size_t at = 0; at < input.size(); at += block)
        writer.write(input.data() + at, std::min(block, input.size() - at));
      writer.finish();
    }
    WavFile wav = readWav(url);
    EXPECT_EQ(wav.info.samplerate, 16000);
    EXPECT_EQ(wav.info.channels, 1);
    EXPECT_EQ(wav.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_NEAR(static_cast<double>(wav.info.frames), 16000.0, 2.0);
    // A 0.5 sine keeps its power through resampling and 16-bit quantisation.
    EXPECT_NEAR(rms(wav.samples, 1000, 15000), 0.5 / std::sqrt(2.0), 0.005);
    if (inputRate == 16000.0) {
      for (std::size_t i = 0; i < input.size(); ++i) ASSERT_NEAR(wav.samples[i], input[i], 1.0 / 32768);
    }
  }
}

TEST(CaptureFileWriterTest, RefusesALinkAtTheNameAndUnsupportedSettings) {
  testsupport::TempDir dir;
  std::filesystem::path target = dir.path() / "precious.txt";
  std::ofstream(target) << "precious";
  std::filesystem::path url = dir.path() / "parlet-link.wav";
  std::filesystem::create_symlink(target, url);
  EXPECT_THROW(CaptureFileWriter(url, RecordingSettings{}, 16000), RecorderError);
  std::ifstream in(target);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "precious");

  RecordingSettings bigEndian;
  bigEndian.linearPCMIsBigEndian = true;
  EXPECT_THROW(CaptureFileWriter(dir.path() / "b.wav", bigEndian, 16000), RecorderError);
  EXPECT_THROW(CaptureFileWriter(dir.path() / "c.wav", RecordingSettings{}, 0), RecorderError);
  EXPECT_THROW(CaptureFileWriter(dir.path() / "d.wav", RecordingSettings{}, std::nan("")), RecorderError);
}

}  // namespace
}  // namespace parlet::detail
