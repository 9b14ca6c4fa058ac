#include <gtest/gtest.h>
#include <soxr.h>

#include <sys/resource.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>

#include "KestrumCore/tests/LogCapture.h"
#include "Murmel/audio/AudioProcessor.h"
#include "Murmel/common/WhisperError.h"
#include "platform/Audio/AudioFileWriter.h"
#include "platform/Audio/tests/EncodedFiles.h"
#include "platform/Audio/tests/Signals.h"
#include "testsupport/Fixtures.h"

namespace murmel {
namespace {

using platform::audio::AudioFileError;
using platform::audio::AudioFileType;
using platform::audio::AudioFormat;
using platform::audio::writeAudioFile;

// A linear chirp has no period, so a repeated or skipped stretch shows as a lag in cross-correlation.
double chirp(double t) { return 0.5 * std::sin(2 * std::numbers::pi * (200 * t + 150 * t * t)); }

std::vector<float> sampled(double rate, std::size_t count, double (*f)(double)) {
  std::vector<float> out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<float>(f(i / rate));
  return out;
}

using audiotest::bufferOf;

std::vector<float> channel0(const AudioPCMBuffer& buffer) {
  return {buffer.floatChannelData(0), buffer.floatChannelData(0) + buffer.frameLength()};
}

template <class F>
WhisperError whisperErrorOf(F&& f) {
  try {
    f();
  } catch (const WhisperError& e) {
    return e;
  }
  ADD_FAILURE() << "no WhisperError";
  return WhisperError::initializationError("none");
}

class AudioProcessorFileTest : public ::testing::Test {
 protected:
  testsupport::TempDir dir;
  std::string path(const char* name) { return (dir.path() / name).string(); }
};

TEST_F(AudioProcessorFileTest, StereoFileLongerThanOneReadChunkResamplesSeamlessly) {
  const double seconds = 3.3;
  const auto frames = static_cast<std::size_t>(seconds * 44100);
  auto left = sampled(44100, frames, chirp);
  writeAudioFile(path("long.wav"), 44100, {left, left}, AudioFileType::wavFloat);

  // Read chunks of one second: three chunk boundaries inside the file.
  AudioPCMBuffer buffer = AudioProcessor::loadAudio(path("long.wav"), ChannelMode::sumChannels(), std::nullopt,
                                                    std::nullopt, 44100u);
  EXPECT_EQ(buffer.format(), *AudioFormat::standard(16000, 1));
  const auto out = channel0(buffer);
  EXPECT_NEAR(static_cast<double>(out.size()), std::round(seconds * 16000), 1.0);

  const auto reference = sampled(16000, out.size() + 64, chirp);
  for (int boundary : {16000, 32000, 48000}) {
    SCOPED_TRACE(boundary);
    // Best lag of output against the reference over +-20 ms around the boundary.
    int bestLag = 0;
    double best = -1;
    for (int lag = -40; lag <= 40; ++lag) {
      double dot = 0, a = 0, b = 0;
      for (int i = boundary - 320; i < boundary + 320; ++i) {
        dot += double(out[i]) * reference[i + lag];
        a += double(out[i]) * out[i];
        b += double(reference[i + lag]) * reference[i + lag];
      }
      const double correlation = dot / std::sqrt(a * b);
      if (correlation > best) best = correlation, bestLag = lag;
    }
    EXPECT_EQ(bestLag, 0);
    EXPECT_GT(best, 0.99);
  }
  // Inside a chunk the output is the chirp itself.
  for (int i = 8000; i < 8400; ++i) ASSERT_NEAR(out[i], reference[i], 0.01) << i;
}

// Reference: the whole signal resampled to 16 kHz in one call, with the quality the loader uses.
std::vector<float> oneShotResample(const std::vector<float>& in, double inRate) {
  std::vector<float> out(static_cast<std::size_t>(std::llround(in.size() * 16000.0 / inRate)));
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  std::size_t used = 0, made = 0;
  EXPECT_EQ(soxr_oneshot(inRate, 16000, 1, in.data(), in.size(), &used, out.data(), out.size(), &made, &io, &quality,
                         nullptr),
            nullptr);
  out.resize(made);
  return out;
}

// The file is read in blocks but resampled as one stream: around every block edge the output equals
// a one-pass resample of the whole signal. A fresh stream per block clicks at each edge.
TEST_F(AudioProcessorFileTest, BlocksAreResampledAsOneStream) {
  struct Case {
    const char* name;
    double seconds;
    std::uint32_t block;  // frames per read
  };
  const Case cases[] = {
      {"one block holds the file", 1.5, 1323000},
      {"several blocks", 3.3, 44100},
      {"blocks that do not divide the file", 2.0, 30011},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto frames = static_cast<std::size_t>(c.seconds * 44100);
    const auto signal = sampled(44100, frames, chirp);
    writeAudioFile(path("chirp.wav"), 44100, {signal, signal}, AudioFileType::wavFloat);
    const auto out = channel0(AudioProcessor::loadAudio(path("chirp.wav"), ChannelMode::sumChannels(), std::nullopt,
                                                        std::nullopt, c.block));
    const auto reference = oneShotResample(signal, 44100);
    ASSERT_EQ(out.size(), reference.size());
    double worst = 0;
    std::size_t worstAt = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
      const double error = std::fabs(double(out[i]) - reference[i]);
      if (error > worst) worst = error, worstAt = i;
    }
    EXPECT_LT(worst, 1e-4) << "at output sample " << worstAt;
  }
}

// round(duration * 16000) samples for every source rate, including those whose exact product lands a
// hair below an integer in floating point (145,530 frames at 44.1 kHz are 52,800 samples).
TEST_F(AudioProcessorFileTest, OutputHoldsTheDurationTimesSixteenKilohertzRounded) {
  struct Case {
    double rate;
    std::size_t frames;
  };
  const Case cases[] = {{44100, 145530}, {44100, 4051}, {22050, 22049}, {22050, 11025}, {48000, 4799},
                        {8000, 7999},    {11025, 3001}, {16000, 1000},  {96000, 95999}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.frames) + " frames");
    writeAudioFile(path("n.wav"), c.rate, {audiotest::sine(300, c.rate, c.frames)}, AudioFileType::wavFloat);
    // The count computed exactly in integers: frames * 16000 / rate, rounded half up.
    const auto rate = static_cast<std::uint64_t>(c.rate);
    const std::uint64_t expected = (c.frames * 16000 * 2 + rate) / (2 * rate);
    EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(path("n.wav")).size(), expected);
    EXPECT_EQ(AudioProcessor::loadAudio(path("n.wav")).frameLength(), expected);
  }
}

// Files whose header only estimates its length (MP3 without a Xing/Info frame, at constant or
// variable bit rate) or leaves it open (FLAC written to a pipe) load whole.
TEST_F(AudioProcessorFileTest, FilesOfEstimatedOrOpenLengthLoadWhole) {
  const std::size_t frames = 2 * 44100;
  const auto tone = audiotest::sine(440, 44100, frames);
  audiotest::writeMp3(path("cbr.mp3"), 44100, tone, false);
  audiotest::removeXingFrame(path("cbr.mp3"));
  audiotest::writeMp3(path("vbr.mp3"), 44100, tone, true);
  audiotest::removeXingFrame(path("vbr.mp3"));
  writeAudioFile(path("open.flac"), 44100, {tone}, AudioFileType::flac16);
  audiotest::clearFlacLength(path("open.flac"));
  struct Case {
    const char* name;
    double extraSeconds;  // an MP3 adds up to two frames of encoder delay and padding
  };
  for (const Case& c : {Case{"cbr.mp3", 2304 / 44100.0}, Case{"vbr.mp3", 2304 / 44100.0}, Case{"open.flac", 0}}) {
    SCOPED_TRACE(c.name);
    std::vector<float> samples;
    ASSERT_NO_THROW(samples = AudioProcessor::loadAudioAsFloatArray(path(c.name)));
    EXPECT_GE(samples.size(), 32000u);
    EXPECT_LE(samples.size(), 32000u + static_cast<std::size_t>(c.extraSeconds * 16000));
    EXPECT_NEAR(audiotest::rms(samples.data() + 1600, 28800), 0.5 / std::sqrt(2.0), 0.03);
  }
}

// An 8 KB file of 64 channels loads within 128 MB of address space: buffers are sized by the
// frames the file holds, not by the read size (64 channels x 1,323,000 frames would be 339 MB).
TEST_F(AudioProcessorFileTest, BuffersAreSizedByWhatTheFileHolds) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves more address space than the limit this test sets";
#else
  audiotest::writeWavHeaderAndSilence(path("wide.wav"), 64, 44100, 64 * 2 * 64);
  // 64 frames at 44.1 kHz are 23 samples at 16 kHz. The child measures its own address space: the
  // parent's other threads may map memory between a measurement there and the fork.
  auto loadWithinLimit = [&] {
    std::ifstream status("/proc/self/status");
    std::string line;
    rlim_t used = 0;
    while (std::getline(status, line))
      if (line.rfind("VmSize:", 0) == 0) used = std::stoull(line.substr(7)) * 1024;
    if (used == 0) std::_Exit(3);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = used + (rlim_t{128} << 20);
    setrlimit(RLIMIT_AS, &limit);
    std::_Exit(AudioProcessor::loadAudioAsFloatArray(path("wide.wav")).size() == 23 ? 0 : 2);
  };
  EXPECT_EXIT(loadWithinLimit(), ::testing::ExitedWithCode(0), "");
#endif
}

TEST_F(AudioProcessorFileTest, SixteenKilohertzMonoFileIsReadAsItIs) {
  std::vector<float> samples(16000);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = std::sin(i * 0.01f) * 0.7f;
  writeAudioFile(path("mono.wav"), 16000, {samples}, AudioFileType::wavFloat);

  auto whole = AudioProcessor::loadAudioAsFloatArray(path("mono.wav"), ChannelMode::specificChannel(3));
  EXPECT_EQ(whole, samples);
  auto part = AudioProcessor::loadAudioAsFloatArray(path("mono.wav"), ChannelMode::sumChannels(), 0.25, 0.5);
  EXPECT_EQ(part, std::vector<float>(samples.begin() + 4000, samples.begin() + 8000));
  EXPECT_TRUE(AudioProcessor::loadAudioAsFloatArray(path("mono.wav"), ChannelMode::sumChannels(), 1.0).empty());
  EXPECT_TRUE(AudioProcessor::loadAudioAsFloatArray(path("mono.wav"), ChannelMode::sumChannels(), 5.0).empty());
}

TEST_F(AudioProcessorFileTest, LoadAudioAsyncReadsTheWholeFileAsWorkingFormat) {
  writeAudioFile(path("s.flac"), 8000, {std::vector<float>(8000, 0.25f), std::vector<float>(8000, -0.25f)},
                 AudioFileType::flac16);
  AudioPCMBuffer buffer = AudioProcessing::loadAudioAsync(path("s.flac"));
  EXPECT_EQ(buffer.format(), *AudioFormat::standard(16000, 1));
  EXPECT_NEAR(static_cast<double>(buffer.frameLength()), 16000.0, 1.0);
  EXPECT_THROW(AudioProcessing::loadAudioAsync(path("none.flac")), WhisperError);
}

TEST_F(AudioProcessorFileTest, ChannelModes) {
  // Peaks 0.5 (channel 0) and 0.25 (channel 1); channel 2 is silent.
  const std::vector<float> a{0.5f, -0.2f, 0.1f}, b{0.25f, 0.2f, -0.1f}, c{0, 0, 0};
  auto stereo = bufferOf({a, b, c}, 44100);
  struct Case {
    const char* name;
    ChannelMode mode;
    std::vector<float> expected;
  };
  // All channels: sum (0.75, 0, 0) rescaled to peak 0.5.
  const Case cases[] = {
      {"all", ChannelMode::sumChannels(), {0.5f, 0.0f, 0.0f}},
      {"empty list is all", ChannelMode::sumChannels(std::vector<std::int64_t>{}), {0.5f, 0.0f, 0.0f}},
      {"listed channel", ChannelMode::sumChannels(std::vector<std::int64_t>{1, 9}), b},
      {"no valid index", ChannelMode::sumChannels(std::vector<std::int64_t>{7, 9}), a},
      {"specific", ChannelMode::specificChannel(1), b},
      {"specific out of range", ChannelMode::specificChannel(5), a},
      {"silent stays silent", ChannelMode::sumChannels(std::vector<std::int64_t>{2}), c},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    auto mono = AudioProcessor::convertToMono(stereo, test.mode);
    ASSERT_TRUE(mono);
    EXPECT_EQ(mono->format().channelCount(), 1u);
    auto out = channel0(*mono);
    ASSERT_EQ(out.size(), test.expected.size());
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_NEAR(out[i], test.expected[i], 1e-6);
  }
  auto mono = bufferOf({a}, 44100);
  EXPECT_EQ(channel0(*AudioProcessor::convertToMono(mono, ChannelMode::specificChannel(1))), a);
}

TEST_F(AudioProcessorFileTest, LoadErrors) {
  EXPECT_EQ(whisperErrorOf([&] { AudioProcessor::loadAudio(path("nothing.wav")); }),
            WhisperError::loadAudioFailed("Resource path does not exist " + path("nothing.wav")));

  // The processing failure carries its reason and the file.
  writeAudioFile(path("s.wav"), 44100, {std::vector<float>(4410), std::vector<float>(4410)}, AudioFileType::wav16);
  const std::string message = whisperErrorOf([&] {
                                AudioProcessor::loadAudio(path("s.wav"), ChannelMode::sumChannels(), std::nullopt,
                                                          std::nullopt, 0u);
                              }).what();
  EXPECT_EQ(message.rfind("Failed to process audio buffer: ", 0), 0u) << message;
  EXPECT_NE(message.find("read size of 0 frames"), std::string::npos) << message;
  EXPECT_NE(message.find(path("s.wav")), std::string::npos) << message;
  EXPECT_EQ(whisperErrorOf([&] { AudioProcessor::loadAudio(path("s.wav"), ChannelMode::sumChannels(), 0.08, 0.02); })
                .kind(),
            WhisperError::Kind::loadAudioFailed);

  // Open errors of the file layer pass through, saying what is wrong with which file.
  std::filesystem::copy_file(path("s.wav"), path("cut.wav"));
  std::filesystem::resize_file(path("cut.wav"), std::filesystem::file_size(path("s.wav")) / 2);
  std::filesystem::create_directory(path("folder.wav"));
  audiotest::writeWavHeaderAndSilence(path("rate0.wav"), 1, 0, 2000);
  for (auto [name, reason] : {std::pair{"cut.wav", "truncated"}, {"folder.wav", "folder"}, {"rate0.wav", "sample rate of 0 Hz"}}) {
    SCOPED_TRACE(name);
    try {
      AudioProcessor::loadAudioAsFloatArray(path(name));
      ADD_FAILURE() << "loaded";
    } catch (const AudioFileError& e) {
      EXPECT_NE(std::string(e.what()).find(path(name)), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
    }
  }
}

// One load hands out at most 4 hours at 16 kHz (0.9 GB of samples); a longer one is refused before
// anything is decoded, by every loader, while a range within the bound loads. The files are
// sparse stretches of silence, so they cost no disk space.
TEST_F(AudioProcessorFileTest, LoadsBeyondFourHoursAtSixteenKilohertzAreRefusedBeforeDecoding) {
  // 24 hours at 1 kHz (which became 5.3 GB of samples), and 4.1 hours at 16 kHz mono, read as it is.
  audiotest::writeWavHeaderAndSilence(path("day.wav"), 1, 1000, 24u * 3600 * 1000 * 2);
  audiotest::writeWavHeaderAndSilence(path("long.wav"), 1, 16000, static_cast<std::uint32_t>(4.1 * 3600) * 16000 * 2);
  auto refused = [](const std::string& what) {
    EXPECT_NE(what.find("at most 230400000 (4 hours at 16 kHz, 0.9 GB) are loaded at once"), std::string::npos) << what;
  };
  for (const char* name : {"day.wav", "long.wav"}) {
    SCOPED_TRACE(name);
    refused(whisperErrorOf([&] { AudioProcessor::loadAudio(path(name)); }).what());
    refused(whisperErrorOf([&] { AudioProcessor::loadAudioAsFloatArray(path(name)); }).what());
    refused(whisperErrorOf([&] { AudioProcessor::loadAudio(path(name), ChannelMode::sumChannels(), 0.0, 4 * 3600 + 1.0); }).what());
    AudioFile file(path(name));
    testsupport::LogCapture log;
    EXPECT_FALSE(AudioProcessor::resampleAudio(file, 16000, 1, ChannelMode::sumChannels(), std::nullopt, 4096));
    ASSERT_EQ(log.containing("are loaded at once").size(), 1u);
  }
  // A range within the bound: two minutes of the day.
  EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(path("day.wav"), ChannelMode::sumChannels(), 3600.0, 3720.0).size(),
            120u * 16000);
  EXPECT_EQ(AudioProcessor::loadAudio(path("long.wav"), ChannelMode::sumChannels(), 0.0, 120.0).frameLength(), 120u * 16000);
}

TEST_F(AudioProcessorFileTest, LoadsSeveralFilesKeepingOrderAndFailuresApart) {
  writeAudioFile(path("a.wav"), 16000, {std::vector<float>(100, 0.25f)}, AudioFileType::wavFloat);
  writeAudioFile(path("b.flac"), 22050, {std::vector<float>(2205, 0.0f)}, AudioFileType::flac16);
  auto results = AudioProcessor::loadAudio({path("a.wav"), path("gone.wav"), path("b.flac")});
  ASSERT_EQ(results.size(), 3u);
  ASSERT_TRUE(std::holds_alternative<std::vector<float>>(results[0]));
  EXPECT_EQ(std::get<std::vector<float>>(results[0]), std::vector<float>(100, 0.25f));
  ASSERT_TRUE(std::holds_alternative<std::exception_ptr>(results[1]));
  EXPECT_THROW(std::rethrow_exception(std::get<std::exception_ptr>(results[1])), WhisperError);
  ASSERT_TRUE(std::holds_alternative<std::vector<float>>(results[2]));
  EXPECT_NEAR(static_cast<double>(std::get<std::vector<float>>(results[2]).size()), 1600.0, 1.0);
}

TEST(AudioProcessorTest, ResampleBufferRoundsCapacityAndDoesNotRepeatInput) {
  // 4051 frames at 44.1 kHz are 1469.72 frames at 16 kHz: capacity 1470.
  auto input = bufferOf({std::vector<float>(4051, 0.3f)}, 44100);
  auto converter = AudioConverter::make(input.format(), *AudioFormat::standard(16000, 1));
  auto out = AudioProcessor::resampleBuffer(input, *converter);
  EXPECT_EQ(out.frameCapacity(), 1470u);
  EXPECT_GE(out.frameLength(), 1469u);
  // A buffer that ends in 20 ms of silence gives a silent tail: the input is handed over once and
  // the end of the stream is padded with nothing but silence.
  std::vector<float> toneThenSilence(4410 + 882, 0.0f);
  for (std::size_t i = 0; i < 4410; ++i) toneThenSilence[i] = 0.5f * std::sin(i * 0.2f);
  auto tail = channel0(AudioProcessor::resampleBuffer(bufferOf({toneThenSilence}, 44100), *converter));
  ASSERT_NEAR(static_cast<double>(tail.size()), 1920.0, 1.0);
  for (std::size_t i = tail.size() - 200; i < tail.size(); ++i) ASSERT_LT(std::fabs(tail[i]), 1e-3) << i;
  // The same converter converts the next buffer as a fresh stream.
  auto again = AudioProcessor::resampleBuffer(input, *converter);
  EXPECT_EQ(channel0(again), channel0(out));
}

TEST(AudioProcessorTest, EdgeCasesLogTheirLines) {
  testsupport::LogCapture log;
  auto contains = [&](const std::string& text) {
    const auto lines = log.lines();
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  };

  // 14,699 frames at 160 kHz are exactly 1,469.9 frames at 16 kHz: rounded to 1,470.
  auto input = bufferOf({std::vector<float>(14699, 0.1f)}, 160000);
  auto converter = AudioConverter::make(input.format(), *AudioFormat::standard(16000, 1));
  EXPECT_EQ(AudioProcessor::resampleBuffer(input, *converter).frameCapacity(), 1470u);
  EXPECT_TRUE(contains("Rounding buffer frame capacity from 1469.9 to 1470.0 to better fit new sample rate"));

  auto stereo = bufferOf({{0.5f, 0.1f}, {0.25f, 0.2f}}, 44100);
  auto mono = AudioProcessor::convertToMono(stereo, ChannelMode::sumChannels(std::vector<std::int64_t>{7, 9}));
  ASSERT_TRUE(mono);
  EXPECT_EQ(channel0(*mono), (std::vector<float>{0.5f, 0.1f}));
  EXPECT_TRUE(contains("No valid channel indices provided, defaulting to first channel"));

  EXPECT_FALSE(AudioProcessing::padOrTrimAudio(std::vector<float>(1000, 0.5f), 1000, 480000));
  EXPECT_TRUE(contains("startIndex is outside the buffer size"));
}

TEST(AudioProcessorTest, ConvertBufferToArrayCopiesChannelZeroAndClearsIt) {
  std::vector<float> samples(2500);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i);
  auto buffer = bufferOf({samples}, 16000);
  EXPECT_EQ(AudioProcessor::convertBufferToArray(buffer, 1024), samples);
  EXPECT_EQ(channel0(buffer), std::vector<float>(2500, 0.0f));
}

TEST(AudioProcessorTest, PadOrTrimWindow) {
  std::vector<float> samples(1000, 0.5f);
  auto window = AudioProcessing::padOrTrimAudio(samples, 200, 480000);
  ASSERT_TRUE(window);
  EXPECT_EQ((*window)->shape(), (std::vector<std::int64_t>{480000}));
  auto values = (*window)->data<float>();
  EXPECT_EQ(std::count(values.begin(), values.begin() + 800, 0.5f), 800);
  EXPECT_EQ(std::count(values.begin() + 800, values.end(), 0.0f), 479200);

  AudioProcessor processor;
  auto trimmed = processor.padOrTrim(samples, 0, 10);
  ASSERT_TRUE(trimmed);
  EXPECT_EQ((*trimmed)->count(), 10);
  EXPECT_FALSE(AudioProcessing::padOrTrimAudio(samples, 1000, 480000));
  EXPECT_FALSE(AudioProcessing::padOrTrimAudio(samples, -1, 480000));
  EXPECT_FALSE(AudioProcessing::padOrTrimAudio({}, 0, 480000));
}

TEST(AudioProcessorTest, WaveformImageNeverReadsPastTheSamples) {
  std::vector<float> samples(12, 1.0f);
  auto image = AudioProcessing::createWaveformImage(samples, 4.9, 3.2);
  EXPECT_EQ(image.width, 4);
  EXPECT_EQ(image.height, 3);
  EXPECT_EQ(image.bytesPerRow, 16);
  ASSERT_EQ(image.pixels.size(), 48u);
  // 1.0f is 0x3F800000, little-endian bytes 00 00 80 3F.
  EXPECT_EQ(image.pixels[2], 0x80);
  EXPECT_EQ(image.pixels[3], 0x3F);
  for (auto [w, h] : {std::pair{5.0, 3.0}, {0.0, 3.0}, {4.0, -1.0}, {NAN, 1.0}})
    EXPECT_EQ(whisperErrorOf([&] { AudioProcessing::createWaveformImage(samples, w, h); }).kind(),
              WhisperError::Kind::audioProcessingFailed);
}

}  // namespace
}  // namespace murmel
