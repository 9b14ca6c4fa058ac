#include "Murmel/AudioProcessor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>

#include "KestrumCore/Concurrency.h"
#include "KestrumCore/Logging.h"
#include "Murmel/Constants.h"
#include "Murmel/EngineUtilities.h"
#include "Murmel/WhisperError.h"

namespace murmel {

using kestrum::Logging;
using platform::audio::AudioFormat;

namespace {

std::string format2(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

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
    throw WhisperError::audioProcessingFailed("Waveform image of " + format2(w) + " x " + format2(h) +
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

AudioPCMBuffer AudioProcessor::loadAudio(AudioFile& fromFile, const ChannelMode& channelMode,
                                         std::optional<double> startTime, std::optional<double> endTime,
                                         std::optional<std::uint32_t> maxReadFrameSize) {
  const double rate = fromFile.fileFormat().sampleRate();
  const std::uint32_t channels = fromFile.fileFormat().channelCount();
  const std::int64_t length = fromFile.length();

  const auto startFrame = frameAt(startTime.value_or(0), rate);
  const auto endLimit = endTime ? frameAt(*endTime, rate) : std::optional<std::int64_t>(length);
  if (!startFrame || !endLimit || *startFrame < 0)
    throw WhisperError::loadAudioFailed("Invalid audio time range");
  const std::int64_t endFrame = std::min(length, *endLimit);
  const std::int64_t frames = endFrame - *startFrame;
  if (frames < 0) throw WhisperError::loadAudioFailed("Audio start time lies after the end time");
  if (frames > std::numeric_limits<std::uint32_t>::max())
    throw WhisperError::loadAudioFailed("Audio range is longer than 4294967295 frames");
  const auto frameCount = static_cast<std::uint32_t>(frames);
  fromFile.setFramePosition(*startFrame);

  std::optional<AudioPCMBuffer> buffer;
  if (rate == sampleRate && channels == 1) {
    buffer = AudioPCMBuffer::make(fromFile.processingFormat(), std::max<std::uint32_t>(frameCount, 1));
    if (!buffer) throw WhisperError::loadAudioFailed("Unable to create audio buffer");
    try {
      fromFile.read(*buffer, frameCount);
    } catch (const std::exception& e) {
      throw WhisperError::loadAudioFailed(std::string("Failed to read audio file: ") + e.what());
    }
  } else {
    buffer = resampleAudio(fromFile, sampleRate, 1, channelMode, frameCount,
                           maxReadFrameSize.value_or(Constants::defaultAudioReadFrameSize));
    if (!buffer) throw WhisperError::loadAudioFailed("Failed to process audio buffer");
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

std::optional<AudioPCMBuffer> AudioProcessor::resampleAudio(AudioFile& fromFile, double toSampleRate,
                                                            std::uint32_t channelCount, const ChannelMode& channelMode,
                                                            std::optional<std::uint32_t> frameCount,
                                                            std::uint32_t maxReadFrameSize) {
  const double rate = fromFile.fileFormat().sampleRate();
  const std::int64_t length = fromFile.length();
  const std::int64_t startPosition = fromFile.framePosition();
  const std::int64_t wanted = frameCount ? static_cast<std::int64_t>(*frameCount) : length;
  // Reading stops at the file's end anyway.
  const std::int64_t endPosition = std::min(startPosition + wanted, length);

  const auto outputFormat = AudioFormat::standard(toSampleRate, channelCount);
  if (!outputFormat) {
    Logging::error("Failed to create output audio format");
    return std::nullopt;
  }
  const double duration = static_cast<double>(wanted) / rate;
  Logging::debug("Resampling " + format2(duration) + " seconds of audio");

  const double capacity = duration * toSampleRate;
  if (!(capacity < 4294967295.0)) {
    Logging::error("Failed to create output buffer");
    return std::nullopt;
  }
  // One frame at least, so that an empty range still gives an (empty) buffer.
  auto output = AudioPCMBuffer::make(*outputFormat, std::max<std::uint32_t>(static_cast<std::uint32_t>(capacity), 1));
  if (!output) {
    Logging::error("Failed to create output buffer");
    return std::nullopt;
  }
  auto readBuffer = AudioPCMBuffer::make(fromFile.processingFormat(), maxReadFrameSize);
  if (!readBuffer) {
    Logging::error("Failed to create read buffer of " + std::to_string(maxReadFrameSize) + " frames");
    return std::nullopt;
  }

  // One mono buffer, one converter and one chunk buffer serve every chunk; the converter starts a new
  // stream for each chunk.
  std::optional<AudioPCMBuffer> mono;
  std::optional<AudioConverter> converter;
  std::optional<AudioPCMBuffer> resampled;
  std::int64_t position = startPosition;
  while (position < endPosition) {
    const auto framesToRead = static_cast<std::uint32_t>(std::min<std::int64_t>(endPosition - position, maxReadFrameSize));
    Logging::debug("Resampling " + format2(position / rate) + "s - " + format2((position + framesToRead) / rate) + "s");
    try {
      fromFile.read(*readBuffer, framesToRead);
    } catch (const std::exception& e) {
      Logging::error(std::string("Error reading audio file: ") + e.what());
      return std::nullopt;
    }
    const AudioPCMBuffer* monoChunk = &*readBuffer;
    if (readBuffer->format().channelCount() >= 2) {
      if (!mono) mono = AudioPCMBuffer::make(*AudioFormat::standard(rate, 1), readBuffer->frameCapacity());
      if (!mono) {
        Logging::error("Failed to create mono buffer.");
        Logging::error("Failed to process audio channels");
        return std::nullopt;
      }
      mixToMono(*readBuffer, channelMode, *mono);
      monoChunk = &*mono;
    }
    if (!converter) converter = AudioConverter::make(monoChunk->format(), *outputFormat);
    if (!converter) {
      Logging::error("Failed to create audio converter");
      Logging::error("Failed to resample audio chunk");
      return std::nullopt;
    }
    try {
      resampleInto(*monoChunk, *converter, resampled);
    } catch (const std::exception& e) {
      Logging::error(std::string("Failed to resample buffer: ") + e.what());
      Logging::error("Failed to resample audio chunk");
      return std::nullopt;
    }
    if (!appendContents(*output, *resampled, 0, resampled->frameLength())) {
      Logging::error("Failed to append audio chunk");
      return std::nullopt;
    }
    position += framesToRead;
  }
  return output;
}

std::vector<float> AudioProcessor::loadAudioAsFloatArray(const std::string& fromPath, const ChannelMode& channelMode,
                                                         std::optional<double> startTime,
                                                         std::optional<double> endTime) {
  checkPathExists(fromPath);
  AudioFile file(fromPath);
  const double duration = static_cast<double>(file.length()) / file.fileFormat().sampleRate();
  double start = startTime.value_or(0);
  const double end = std::min(duration, endTime.value_or(duration));
  std::vector<float> samples;
  while (start < end) {
    const double chunkEnd = std::min(end, start + 600);
    AudioPCMBuffer buffer = loadAudio(file, channelMode, start, chunkEnd, std::nullopt);
    if (samples.empty()) {
      samples = std::move(buffer).takeChannel0();  // the first span's samples, without a copy
      if (chunkEnd < end && end - start < 1e7) samples.reserve(static_cast<std::size_t>((end - start) * sampleRate) + 16);
    } else {
      appendBufferToArray(samples, buffer, 1024);
    }
    start = chunkEnd;
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
