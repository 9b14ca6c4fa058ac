#include "Murmel/audio/AudioProcessor.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <stdexcept>

#include "KestrumCore/Concurrency.h"
#include "KestrumCore/Logging.h"
#include "Murmel/common/EngineUtilities.h"
#include "Murmel/common/WhisperError.h"
#include "Murmel/data/Constants.h"
#include "platform/System/NumberText.h"

namespace murmel {

using kestrum::Logging;
using platform::audio::AudioFormat;

namespace {

using platform::system::fixedText;

void checkPathExists(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) throw WhisperError::loadAudioFailed("Resource path does not exist " + path);
}

float maxMagnitude(const float* x, std::size_t n) {
  float peak = 0;
  for (std::size_t i = 0; i < n; ++i) peak = std::max(peak, std::fabs(x[i]));
  return peak;
}

// A frame index from seconds; nothing when not finite or out of the 64-bit range.
std::optional<std::int64_t> frameAt(double seconds, double rate) {
  const double frame = seconds * rate;
  if (!std::isfinite(frame) || frame >= 9.2e18 || frame <= -9.2e18) return std::nullopt;
  return static_cast<std::int64_t>(frame);  // truncates toward zero
}

// Mixes `buffer` (two channels or more) into the mono buffer `mono` of at least its length.
void mixToMono(const AudioPCMBuffer& buffer, const ChannelMode& mode, AudioPCMBuffer& mono) {
  const std::uint32_t channelCount = buffer.format().channelCount();
  const std::size_t frames = buffer.frameLength();
  mono.setFrameLength(buffer.frameLength());
  float* out = mono.floatChannelData(0);
  auto copyChannel = [&](std::int64_t channel) {
    std::copy_n(buffer.floatChannelData(static_cast<std::uint32_t>(channel)), frames, out);
  };

  if (const auto* specific = mode.asSpecificChannel()) {
    const bool valid = specific->channel >= 0 && specific->channel < channelCount;
    copyChannel(valid ? specific->channel : 0);
    return;
  }
  std::vector<std::int64_t> selected;
  const auto& list = mode.asSumChannels()->channels;
  if (list && !list->empty()) {
    for (std::int64_t channel : *list)
      if (channel >= 0 && channel < channelCount) selected.push_back(channel);
    if (selected.empty()) {
      copyChannel(0);
      Logging::debug("No valid channel indices provided, defaulting to first channel");
      return;
    }
  } else {
    for (std::uint32_t channel = 0; channel < channelCount; ++channel) selected.push_back(channel);
  }
  // The mix peaks at the loudest selected channel's peak.
  std::fill_n(out, frames, 0.0f);
  float peak = 0;
  for (std::int64_t channel : selected) {
    const float* in = buffer.floatChannelData(static_cast<std::uint32_t>(channel));
    peak = std::max(peak, maxMagnitude(in, frames));
    for (std::size_t i = 0; i < frames; ++i) out[i] += in[i];
  }
  const float scale = peak / std::max(maxMagnitude(out, frames), 0.0001f);
  for (std::size_t i = 0; i < frames; ++i) out[i] *= scale;
}

// resampleBuffer into `output`, which is reused when it has the capacity the buffer needs.
void resampleInto(const AudioPCMBuffer& buffer, AudioConverter& converter, std::optional<AudioPCMBuffer>& output) {
  const double inRate = converter.inputFormat().sampleRate();
  const double outRate = converter.outputFormat().sampleRate();
  double capacity = outRate * static_cast<double>(buffer.frameLength()) / inRate;
  if (capacity != std::floor(capacity)) {
    const double rounded = std::nearbyint(capacity);  // ties to even
    Logging::debug("Rounding buffer frame capacity from " + kestrum::describe(capacity) + " to " +
                   kestrum::describe(rounded) + " to better fit new sample rate");
    capacity = std::max(rounded, 1.0);
  }
  if (!(capacity >= 1 && capacity < 4294967295.0))
    throw WhisperError::audioProcessingFailed("Failed to create converted buffer");
  const auto frames = static_cast<std::uint32_t>(capacity);
  if (output && output->frameCapacity() == frames && output->format() == converter.outputFormat()) {
    output->setFrameLength(0);
  } else {
    output = AudioPCMBuffer::make(converter.outputFormat(), frames);
    if (!output) throw WhisperError::audioProcessingFailed("Failed to create converted buffer");
  }

  // The buffer is handed over once; every later request is the end of the stream, which drains the
  // resampler. Handing it over again would repeat the audio.
  converter.reset();
  bool handedOver = false;
  std::string error;
  const auto status = converter.convert(
      *output, &error,
      [&](std::uint32_t, AudioConverter::InputStatus& inputStatus) -> const AudioPCMBuffer* {
        if (handedOver || buffer.frameLength() == 0) {
          inputStatus = AudioConverter::InputStatus::endOfStream;
          return nullptr;
        }
        handedOver = true;
        inputStatus = AudioConverter::InputStatus::haveData;
        return &buffer;
      });
  if (status == AudioConverter::OutputStatus::error)
    throw WhisperError::audioProcessingFailed("Error converting audio: " + error);
}

}  // namespace

// ---- shared statics of the interface ----

std::optional<AudioProcessorOutputType> AudioProcessing::padOrTrimAudio(std::span<const float> audioArray,
                                                                        std::int64_t startAt, std::int64_t toLength,
                                                                        bool) {
  const auto count = static_cast<std::int64_t>(audioArray.size());
  if (startAt < 0 || startAt >= count) {
    Logging::error("startIndex is outside the buffer size");
    return std::nullopt;
  }
  AudioProcessorOutputType window;
  try {
    window = platform::ml::MLMultiArray::make({toLength}, platform::ml::MLMultiArrayDataType::float32);
  } catch (const std::exception& e) {
    Logging::error("Failed to create the audio window:", e.what());
    return std::nullopt;
  }
  const std::int64_t end = std::min(count, startAt + std::max<std::int64_t>(toLength, 0));
  auto out = window->data<float>();  // zero-filled at creation
  std::copy(audioArray.begin() + startAt, audioArray.begin() + end, out.begin());
  return window;
}

// Runs on the caller's thread: waiting here for a pool job could starve a busy pool.
AudioPCMBuffer AudioProcessing::loadAudioAsync(const std::string& path) {
  checkPathExists(path);
  AudioFile file(path);
  return AudioProcessor::loadAudio(file, ChannelMode::sumChannels(), 0.0, std::nullopt, std::nullopt);
}

// Each float's four bytes are one pixel; the image must not need more pixels than there are samples.
WaveformImage AudioProcessing::createWaveformImage(std::span<const float> audio, double width, double height) {
  const double w = std::trunc(width), h = std::trunc(height);
  if (!(w >= 1) || !(h >= 1) || w * h > static_cast<double>(audio.size()))
    throw WhisperError::audioProcessingFailed("Waveform image of " + fixedText(w, 2) + " x " + fixedText(h, 2) +
                                              " pixels needs more than the " + std::to_string(audio.size()) +
                                              " samples given");
  WaveformImage image;
  image.width = static_cast<std::int64_t>(w);
  image.height = static_cast<std::int64_t>(h);
  image.bytesPerRow = 4 * image.width;
  image.pixels.resize(static_cast<std::size_t>(image.bytesPerRow * image.height));
  std::memcpy(image.pixels.data(), audio.data(), image.pixels.size());
  return image;
}

// ---- file half ----

AudioProcessor::AudioProcessor(platform::audio::CaptureEngineFactory engineFactory)
    : engineFactory_(std::move(engineFactory)), liveness_(std::make_shared<Liveness>()) {
  liveness_->processor = this;
}

AudioProcessor::~AudioProcessor() {
  {
    std::lock_guard lock(liveness_->mutex);
    liveness_->processor = nullptr;
  }
  stopRecording();
}

AudioPCMBuffer AudioProcessor::loadAudio(const std::string& fromPath, const ChannelMode& channelMode,
                                         std::optional<double> startTime, std::optional<double> endTime,
                                         std::optional<std::uint32_t> maxReadFrameSize) {
  checkPathExists(fromPath);
  AudioFile file(fromPath);
  return loadAudio(file, channelMode, startTime, endTime, maxReadFrameSize);
}

namespace {

// The frames [start, end) of a file: where its read position is set, how many there are.
struct FrameRange {
  std::int64_t start = 0;
  std::int64_t end = 0;
  std::int64_t frames() const { return end - start; }
};

FrameRange frameRange(const AudioFile& file, std::optional<double> startTime, std::optional<double> endTime) {
  const double rate = file.fileFormat().sampleRate();
  const std::int64_t length = file.length();
  const auto startFrame = frameAt(startTime.value_or(0), rate);
  const auto endLimit = endTime ? frameAt(*endTime, rate) : std::optional<std::int64_t>(length);
  if (!startFrame || !endLimit || *startFrame < 0)
    throw WhisperError::loadAudioFailed("Invalid audio time range for " + file.url().string());
  const FrameRange range{*startFrame, std::min(length, *endLimit)};
  if (range.frames() < 0)
    throw WhisperError::loadAudioFailed("Audio start time lies after the end time for " + file.url().string());
  return range;
}

// Output frames for `frames` input frames: the duration times the output rate, rounded.
std::int64_t outputFrames(std::int64_t frames, double inRate, double outRate) {
  return std::llround(static_cast<double>(frames) * outRate / inRate);
}

// Reads the file from its read position up to `end` in blocks of at most `maxReadFrameSize`
// frames, mixes each block to mono by `mode` and resamples everything as one stream, so that no
// block edge is heard. `sink(samples, count)` receives the output in order, exactly
// round(duration * toSampleRate) samples (the resampler's last fraction of a sample is cut, or a
// missing one padded with silence). Throws std::runtime_error saying what failed, naming the file.
void streamResampled(AudioFile& file, std::int64_t end, double toSampleRate, const ChannelMode& mode,
                     std::uint32_t maxReadFrameSize, const std::function<void(const float*, std::size_t)>& sink) {
  const std::string name = file.url().string();
  const double rate = file.fileFormat().sampleRate();
  const std::int64_t start = file.framePosition();
  const std::int64_t frames = std::max<std::int64_t>(end - start, 0);
  const auto outputFormat = AudioFormat::standard(toSampleRate, 1);
  if (!outputFormat) throw std::runtime_error("Failed to create output audio format for " + name);
  if (maxReadFrameSize == 0) throw std::runtime_error("a read size of 0 frames reads nothing from " + name);
  Logging::debug("Resampling " + fixedText(static_cast<double>(frames) / rate, 2) + " seconds of audio");

  // Buffers hold one block of what the file has, not more.
  const auto blockFrames = static_cast<std::uint32_t>(std::clamp<std::int64_t>(frames, 1, maxReadFrameSize));
  auto readBuffer = AudioPCMBuffer::make(file.processingFormat(), blockFrames);
  std::optional<AudioPCMBuffer> mono;
  if (file.processingFormat().channelCount() >= 2) mono = AudioPCMBuffer::make(*AudioFormat::standard(rate, 1), blockFrames);
  if (!readBuffer || (file.processingFormat().channelCount() >= 2 && !mono))
    throw std::runtime_error("Failed to create a read buffer of " + std::to_string(blockFrames) + " frames for " + name);
  auto converter = AudioConverter::make(*AudioFormat::standard(rate, 1), *outputFormat);
  if (!converter) throw std::runtime_error("Failed to create audio converter for " + name);
  // Room for one read block's output, so that the resampler writes straight into it.
  const auto outputBlock = static_cast<std::uint32_t>(std::min<std::int64_t>(outputFrames(blockFrames, rate, toSampleRate) + 64, 1 << 20));
  auto output = AudioPCMBuffer::make(*outputFormat, outputBlock);
  if (!output) throw std::runtime_error("Failed to create output buffer for " + name);

  std::int64_t position = start;
  std::string readError;
  const AudioConverter::InputBlock input = [&](std::uint32_t, AudioConverter::InputStatus& status) -> const AudioPCMBuffer* {
    status = AudioConverter::InputStatus::endOfStream;
    if (position >= end) return nullptr;
    const auto framesToRead = static_cast<std::uint32_t>(std::min<std::int64_t>(end - position, blockFrames));
    Logging::debug("Resampling " + fixedText(position / rate, 2) + "s - " + fixedText((position + framesToRead) / rate, 2) + "s");
    try {
      file.read(*readBuffer, framesToRead);
    } catch (const std::exception& e) {
      readError = e.what();
      return nullptr;
    }
    if (readBuffer->frameLength() == 0) return nullptr;  // the decoder ended: the stream ends here
    position += readBuffer->frameLength();
    status = AudioConverter::InputStatus::haveData;
    if (!mono) return &*readBuffer;
    mixToMono(*readBuffer, mode, *mono);
    return &*mono;
  };

  const std::int64_t wanted = outputFrames(frames, rate, toSampleRate);
  std::int64_t delivered = 0;
  for (;;) {
    output->setFrameLength(0);
    std::string error;
    const auto status = converter->convert(*output, &error, input);
    if (!readError.empty()) throw std::runtime_error("Error reading audio file: " + readError);
    if (status == AudioConverter::OutputStatus::error) throw std::runtime_error("Error converting audio from " + name + ": " + error);
    const auto n = std::min<std::int64_t>(output->frameLength(), wanted - delivered);
    if (n > 0) sink(output->floatChannelData(0), static_cast<std::size_t>(n));
    delivered += std::max<std::int64_t>(n, 0);
    if (status != AudioConverter::OutputStatus::haveData) break;
  }
  // A decoder that ended early shortened the file: the output follows what was read.
  const std::int64_t due = position < end ? outputFrames(position - start, rate, toSampleRate) : wanted;
  const std::vector<float> silence(4096, 0.0f);
  while (delivered < due) {
    const auto n = std::min<std::int64_t>(due - delivered, static_cast<std::int64_t>(silence.size()));
    sink(silence.data(), static_cast<std::size_t>(n));
    delivered += n;
  }
}

// Refuses, before anything is decoded, a load that would hand out more than maxLoadedSamples.
void checkLoadable(const AudioFile& file, std::int64_t samples, double rate) {
  if (samples <= AudioProcessor::maxLoadedSamples) return;
  const std::string hours = fixedText(static_cast<double>(samples) / rate / 3600, 1);
  throw WhisperError::loadAudioFailed(file.url().string() + " would load " + std::to_string(samples) + " samples (" +
                                      hours + " hours at " + std::to_string(static_cast<long>(rate)) +
                                      " Hz); at most " + std::to_string(AudioProcessor::maxLoadedSamples) +
                                      " (4 hours at 16 kHz, 0.9 GB) are loaded at once: load the file in ranges");
}

[[noreturn]] void outOfMemory(const AudioFile& file, std::int64_t samples) {
  throw WhisperError::loadAudioFailed("Not enough memory for " + std::to_string(samples) + " samples of audio from " +
                                      file.url().string());
}

}  // namespace

AudioPCMBuffer AudioProcessor::loadAudio(AudioFile& fromFile, const ChannelMode& channelMode,
                                         std::optional<double> startTime, std::optional<double> endTime,
                                         std::optional<std::uint32_t> maxReadFrameSize) {
  const double rate = fromFile.fileFormat().sampleRate();
  const std::uint32_t channels = fromFile.fileFormat().channelCount();
  const std::int64_t length = fromFile.length();
  const FrameRange range = frameRange(fromFile, startTime, endTime);
  if (range.frames() > std::numeric_limits<std::uint32_t>::max())
    throw WhisperError::loadAudioFailed("Audio range of " + fromFile.url().string() + " is longer than 4294967295 frames");
  const auto frameCount = static_cast<std::uint32_t>(range.frames());
  if (rate == sampleRate && channels == 1) checkLoadable(fromFile, range.frames(), sampleRate);
  else checkLoadable(fromFile, outputFrames(range.frames(), rate, sampleRate), sampleRate);
  fromFile.setFramePosition(range.start);

  std::optional<AudioPCMBuffer> buffer;
  if (rate == sampleRate && channels == 1) {
    buffer = AudioPCMBuffer::make(fromFile.processingFormat(), std::max<std::uint32_t>(frameCount, 1));
    if (!buffer) outOfMemory(fromFile, frameCount);
    try {
      fromFile.read(*buffer, frameCount);
    } catch (const std::exception& e) {
      throw WhisperError::loadAudioFailed(std::string("Failed to read audio file: ") + e.what());
    }
  } else {
    try {
      buffer = resampleFile(fromFile, sampleRate, channelMode, frameCount,
                            maxReadFrameSize.value_or(Constants::defaultAudioReadFrameSize));
    } catch (const WhisperError&) {
      throw;
    } catch (const std::exception& e) {
      throw WhisperError::loadAudioFailed(std::string("Failed to process audio buffer: ") + e.what());
    }
  }

  Logging::debug("Audio source details - Sample Rate: " + kestrum::describe(rate) +
                 " Hz, Channel Count: " + std::to_string(channels) + ", Frame Length: " + std::to_string(length) +
                 ", Duration: " + kestrum::describe(static_cast<double>(length) / rate) + "s");
  const double outRate = buffer->format().sampleRate();
  Logging::debug("Audio buffer details - Sample Rate: " + kestrum::describe(outRate) +
                 " Hz, Channel Count: " + std::to_string(buffer->format().channelCount()) +
                 ", Frame Length: " + std::to_string(buffer->frameLength()) +
                 ", Duration: " + kestrum::describe(buffer->frameLength() / outRate) + "s");
  Logging::logCurrentMemoryUsage("After loadAudio function");
  return std::move(*buffer);
}

AudioPCMBuffer AudioProcessor::resampleFile(AudioFile& fromFile, double toSampleRate, const ChannelMode& channelMode,
                                            std::optional<std::uint32_t> frameCount, std::uint32_t maxReadFrameSize) {
  const double rate = fromFile.fileFormat().sampleRate();
  const std::int64_t start = fromFile.framePosition();
  const std::int64_t end = std::min(start + (frameCount ? static_cast<std::int64_t>(*frameCount) : fromFile.length()),
                                    fromFile.length());
  const std::int64_t capacity = outputFrames(std::max<std::int64_t>(end - start, 0), rate, toSampleRate);
  checkLoadable(fromFile, capacity, toSampleRate);
  if (capacity >= std::numeric_limits<std::uint32_t>::max())
    throw std::runtime_error("the output of " + std::to_string(capacity) + " frames from " + fromFile.url().string() +
                             " does not fit one buffer");
  const auto outputFormat = AudioFormat::standard(toSampleRate, 1);
  if (!outputFormat) throw std::runtime_error("Failed to create output audio format for " + fromFile.url().string());
  // One frame at least, so that an empty range still gives an (empty) buffer.
  auto output = AudioPCMBuffer::make(*outputFormat, static_cast<std::uint32_t>(std::max<std::int64_t>(capacity, 1)));
  if (!output)
    throw std::runtime_error("Not enough memory for " + std::to_string(capacity) + " samples of audio from " +
                             fromFile.url().string());
  streamResampled(fromFile, end, toSampleRate, channelMode, maxReadFrameSize, [&](const float* samples, std::size_t n) {
    std::copy_n(samples, n, output->floatChannelData(0) + output->frameLength());
    output->setFrameLength(output->frameLength() + static_cast<std::uint32_t>(n));
  });
  return std::move(*output);
}

std::optional<AudioPCMBuffer> AudioProcessor::resampleAudio(AudioFile& fromFile, double toSampleRate,
                                                            std::uint32_t channelCount, const ChannelMode& channelMode,
                                                            std::optional<std::uint32_t> frameCount,
                                                            std::uint32_t maxReadFrameSize) {
  if (channelCount != 1) {
    Logging::error("Failed to create audio converter: files resample to one channel, not " + std::to_string(channelCount));
    return std::nullopt;
  }
  try {
    return resampleFile(fromFile, toSampleRate, channelMode, frameCount, maxReadFrameSize);
  } catch (const std::exception& e) {
    Logging::error(std::string("Failed to resample ") + fromFile.url().string() + ": " + e.what());
    return std::nullopt;
  }
}

std::vector<float> AudioProcessor::loadAudioAsFloatArray(const std::string& fromPath, const ChannelMode& channelMode,
                                                         std::optional<double> startTime,
                                                         std::optional<double> endTime) {
  checkPathExists(fromPath);
  AudioFile file(fromPath);
  const double rate = file.fileFormat().sampleRate();
  const double duration = static_cast<double>(file.length()) / rate;
  const double start = startTime.value_or(0);
  const double end = std::min(duration, endTime.value_or(duration));
  if (!(start < end)) return {};
  const FrameRange range = frameRange(file, start, end);
  const bool direct = rate == sampleRate && file.fileFormat().channelCount() == 1;
  checkLoadable(file, direct ? range.frames() : outputFrames(range.frames(), rate, sampleRate), sampleRate);
  file.setFramePosition(range.start);

  std::vector<float> samples;
  if (direct) {
    try {
      // Read as it is, in spans of 600 s.
      samples.reserve(static_cast<std::size_t>(range.frames()));
      auto buffer = AudioPCMBuffer::make(file.processingFormat(), static_cast<std::uint32_t>(std::min<std::int64_t>(
                                                                      std::max<std::int64_t>(range.frames(), 1), 600 * 16000)));
      if (!buffer) outOfMemory(file, range.frames());
      for (std::int64_t position = range.start; position < range.end;) {
        file.read(*buffer, static_cast<std::uint32_t>(std::min<std::int64_t>(range.end - position, buffer->frameCapacity())));
        if (buffer->frameLength() == 0) break;
        samples.insert(samples.end(), buffer->floatChannelData(0), buffer->floatChannelData(0) + buffer->frameLength());
        position += buffer->frameLength();
      }
    } catch (const std::bad_alloc&) {
      outOfMemory(file, range.frames());
    } catch (const platform::audio::AudioFileError& e) {
      throw WhisperError::loadAudioFailed(std::string("Failed to read audio file: ") + e.what());
    }
    return samples;
  }
  // The whole range as one stream, straight into the array.
  try {
    samples.reserve(static_cast<std::size_t>(outputFrames(range.frames(), rate, sampleRate)));
    streamResampled(file, range.end, sampleRate, channelMode, Constants::defaultAudioReadFrameSize,
                    [&](const float* chunk, std::size_t n) { samples.insert(samples.end(), chunk, chunk + n); });
  } catch (const std::bad_alloc&) {
    outOfMemory(file, outputFrames(range.frames(), rate, sampleRate));
  } catch (const std::exception& e) {
    throw WhisperError::loadAudioFailed(std::string("Failed to process audio buffer: ") + e.what());
  }
  return samples;
}

std::vector<float> AudioProcessor::convertBufferToArray(AudioPCMBuffer& buffer, std::uint32_t chunkSize) {
  std::vector<float> out;
  appendBufferToArray(out, buffer, chunkSize);
  return out;
}

void AudioProcessor::appendBufferToArray(std::vector<float>& out, AudioPCMBuffer& buffer, std::uint32_t chunkSize) {
  float* data = buffer.floatChannelData(0);
  if (!data) return;
  const std::size_t length = buffer.frameLength();
  const std::size_t run = chunkSize > 0 ? chunkSize : std::max<std::size_t>(length, 1);
  out.reserve(out.size() + length);
  for (std::size_t start = 0; start < length; start += run) {
    const std::size_t n = std::min(run, length - start);
    out.insert(out.end(), data + start, data + start + n);
    std::fill_n(data + start, n, 0.0f);
  }
}

std::vector<AudioLoadResult> AudioProcessor::loadAudio(const std::vector<std::string>& at, const ChannelMode& channelMode) {
  kestrum::TaskGroup<AudioLoadResult> group;
  for (const auto& path : at) {
    group.addTask([path, channelMode]() -> AudioLoadResult {
      try {
        return loadAudioAsFloatArray(path, channelMode);
      } catch (...) {
        return std::current_exception();
      }
    });
  }
  return group.waitForAll();
}

std::optional<AudioPCMBuffer> AudioProcessor::convertToMono(const AudioPCMBuffer& buffer, const ChannelMode& mode) {
  if (buffer.format().channelCount() < 2) return buffer;
  const auto monoFormat = AudioFormat::standard(buffer.format().sampleRate(), 1);
  if (!monoFormat) {
    Logging::error("Failed to create AVAudioFormat object.");
    return std::nullopt;
  }
  auto mono = AudioPCMBuffer::make(*monoFormat, buffer.frameCapacity());
  if (!mono) {
    Logging::error("Failed to create mono buffer.");
    return std::nullopt;
  }
  mixToMono(buffer, mode, *mono);
  return mono;
}

std::optional<AudioPCMBuffer> AudioProcessor::resampleAudio(const AudioPCMBuffer& fromBuffer, double toSampleRate,
                                                            std::uint32_t channelCount) {
  const auto outputFormat = AudioFormat::standard(toSampleRate, channelCount);
  if (!outputFormat) {
    Logging::error("Failed to create output audio format");
    return std::nullopt;
  }
  auto converter = AudioConverter::make(fromBuffer.format(), *outputFormat);
  if (!converter) {
    Logging::error("Failed to create audio converter");
    return std::nullopt;
  }
  try {
    return resampleBuffer(fromBuffer, *converter);
  } catch (const std::exception& e) {
    Logging::error(std::string("Failed to resample buffer: ") + e.what());
    return std::nullopt;
  }
}

AudioPCMBuffer AudioProcessor::resampleBuffer(const AudioPCMBuffer& buffer, AudioConverter& converter) {
  std::optional<AudioPCMBuffer> output;
  resampleInto(buffer, converter, output);
  return std::move(*output);
}

std::optional<AudioProcessorOutputType> AudioProcessor::padOrTrim(std::span<const float> audioArray,
                                                                  std::int64_t startAt, std::int64_t toLength) {
  return padOrTrimAudio(audioArray, startAt, toLength);
}

}  // namespace murmel
