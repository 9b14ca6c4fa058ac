// The live half of AudioProcessor: capture engine set-up and control, the per-buffer path, energies.
#include <algorithm>
#include <cmath>
#include <limits>

#include "KestrumCore/Logging.h"
#include "Murmel/audio/AudioProcessor.h"
#include "Murmel/common/WhisperError.h"

namespace murmel {

using kestrum::Logging;
using platform::audio::AudioFormat;
using platform::audio::CaptureEngine;
using platform::audio::CaptureError;

namespace {

// 20·log10(rms) relative to `reference` dB below full scale, clamped to 0 ... 1 (not a number: 0).
float relativeLevel(float rms, float reference) {
  const float ref = 20 * std::log10(reference);
  const float rel = (20 * std::log10(rms) - ref) / (0 - ref);
  if (std::isnan(rel)) return 0;
  return std::clamp(rel, 0.0f, 1.0f);
}

[[noreturn]] void rethrowCaptureError(const CaptureError& e) {
  if (e.kind == CaptureError::Kind::noInputDevice) throw WhisperError::microphoneUnavailable(e.what());
  throw;
}

}  // namespace

// ---- store ----

std::vector<float> AudioProcessor::audioSamples() const {
  std::lock_guard lock(storeMutex_);
  return audioSamples_;
}

std::size_t AudioProcessor::audioSampleCount() const {
  std::lock_guard lock(storeMutex_);
  return audioSamples_.size();
}

void AudioProcessor::purgeAudioSamples(std::int64_t keepingLast) {
  std::lock_guard lock(storeMutex_);
  const auto keep = static_cast<std::size_t>(std::max<std::int64_t>(keepingLast, 0));
  if (audioSamples_.size() > keep) audioSamples_.erase(audioSamples_.begin(), audioSamples_.end() - keep);
}

std::vector<AudioEnergy> AudioProcessor::audioEnergy() const {
  std::lock_guard lock(storeMutex_);
  return audioEnergy_;
}

std::vector<float> AudioProcessor::relativeEnergy() const {
  std::lock_guard lock(storeMutex_);
  std::vector<float> rel;
  rel.reserve(audioEnergy_.size());
  for (const auto& record : audioEnergy_) rel.push_back(record.rel);
  return rel;
}

AudioBufferCallback AudioProcessor::audioBufferCallback() const {
  std::lock_guard lock(storeMutex_);
  return audioBufferCallback_;
}

void AudioProcessor::setAudioBufferCallback(AudioBufferCallback callback) {
  std::lock_guard lock(storeMutex_);
  audioBufferCallback_ = std::move(callback);
}

void AudioProcessor::suppressInputIfNeeded(std::span<float> samples) const {
  if (inputSuppressed_) std::fill(samples.begin(), samples.end(), 0.0f);
}

bool AudioProcessor::isRecording() const {
  std::lock_guard lock(controlMutex_);
  return audioEngine_ && audioEngine_->isRunning();
}

// ---- capture control ----

std::shared_ptr<CaptureEngine> AudioProcessor::setupEngine(std::optional<std::uint32_t> inputDeviceID) {
  std::shared_ptr<CaptureEngine> engine = engineFactory_();
  if (!engine) throw WhisperError::microphoneUnavailable("No audio capture engine is available");
  if (inputDeviceID) {
    const int status = engine->setInputDevice(*inputDeviceID);
    if (status == 0) Logging::info("Successfully set input device.");
    else Logging::error("Error setting Audio Unit property: " + std::to_string(status));
  }
  std::optional<AudioFormat> inputFormat;
  try {
    inputFormat = engine->inputFormat();
  } catch (const CaptureError& e) {
    if (e.kind == CaptureError::Kind::noInputDevice) rethrowCaptureError(e);
    throw WhisperError::audioProcessingFailed("Failed to create node format");
  }
  const auto desiredFormat = AudioFormat::standard(sampleRate, 1);
  if (!desiredFormat) throw WhisperError::audioProcessingFailed("Failed to create desired format");
  auto converter = AudioConverter::make(*inputFormat, *desiredFormat);
  if (!converter) throw WhisperError::audioProcessingFailed("Failed to create audio converter");
  auto shared = std::make_shared<AudioConverter>(std::move(*converter));

  const auto bufferSize = static_cast<std::uint32_t>(std::clamp<std::int64_t>(minBufferLength_, 1, 1 << 20));
  // The engine is stopped (no tap call running) before this processor goes away.
  engine->installTap(bufferSize, [this, shared](const AudioPCMBuffer& buffer) { handleCapturedBuffer(buffer, *shared); });
  try {
    engine->start();
  } catch (const CaptureError& e) {
    engine->removeTap();
    engine->reset();
    rethrowCaptureError(e);
  }
  return engine;
}

void AudioProcessor::startRecordingLive(std::optional<std::uint32_t> inputDeviceID, AudioBufferCallback callback) {
  std::lock_guard control(controlMutex_);
  // A running engine would keep appending to the store alongside the new one.
  stopEngineLocked();
  {
    std::lock_guard lock(storeMutex_);
    audioSamples_.clear();
    audioEnergy_.clear();
  }
  audioEngine_ = setupEngine(inputDeviceID);
  setAudioBufferCallback(std::move(callback));
  lastInputDevice_ = inputDeviceID;
}

std::pair<AudioStream, AudioStream::Continuation> AudioProcessor::startStreamingRecordingLive(
    std::optional<std::uint32_t> inputDeviceID) {
  auto [stream, continuation] = AudioStream::make();
  // Does nothing once the processor is gone.
  continuation.setOnTermination([liveness = std::weak_ptr<Liveness>(liveness_)] {
    auto alive = liveness.lock();
    if (!alive) return;
    std::lock_guard lock(alive->mutex);
    if (!alive->processor) return;
    alive->processor->setAudioBufferCallback(nullptr);
    alive->processor->stopRecording();
  });
  try {
    startRecordingLive(inputDeviceID, [continuation](const std::vector<float>& samples) { continuation.yield(samples); });
  } catch (...) {
    continuation.finish(std::current_exception());
  }
  return {stream, continuation};
}

void AudioProcessor::pauseRecording() {
  std::lock_guard control(controlMutex_);
  if (audioEngine_) audioEngine_->pause();
}

void AudioProcessor::resumeRecordingLive(std::optional<std::uint32_t> inputDeviceID, AudioBufferCallback callback) {
  std::lock_guard control(controlMutex_);
  if (inputDeviceID == lastInputDevice_) {
    if (audioEngine_) {
      try {
        audioEngine_->start();
      } catch (const CaptureError& e) {
        rethrowCaptureError(e);
      }
    }
  } else {
    // Another device: the old engine must not keep feeding the store.
    stopEngineLocked();
    audioEngine_ = setupEngine(inputDeviceID);
  }
  if (callback) setAudioBufferCallback(std::move(callback));
}

void AudioProcessor::stopRecording() {
  std::lock_guard control(controlMutex_);
  stopEngineLocked();
}

void AudioProcessor::stopEngineLocked() {
  if (!audioEngine_) return;
  audioEngine_->removeTap();
  audioEngine_->stop();
  audioEngine_->reset();
  audioEngine_.reset();
}

// ---- per-buffer path (capture thread) ----

void AudioProcessor::handleCapturedBuffer(const AudioPCMBuffer& buffer, AudioConverter& converter) {
  std::vector<float> samples;
  if (buffer.format().sampleRate() != sampleRate || buffer.format().channelCount() != 1) {
    try {
      AudioPCMBuffer converted = resampleBuffer(buffer, converter);
      samples = convertBufferToArray(converted, 1024);
    } catch (const std::exception& e) {
      Logging::error(std::string("Failed to resample buffer: ") + e.what());
      return;
    }
  } else {
    const float* data = buffer.floatChannelData(0);
    samples.assign(data, data + buffer.frameLength());
  }
  suppressInputIfNeeded(samples);
  processBuffer(samples);
}

void AudioProcessor::processBuffer(const std::vector<float>& samples) {
  const EnergyValues energy = calculateEnergy(samples);
  AudioEnergy record;
  AudioBufferCallback callback;
  std::size_t storeCount = 0;
  {
    std::lock_guard lock(storeMutex_);
    audioSamples_.insert(audioSamples_.end(), samples.begin(), samples.end());
    float minAvgEnergy = std::numeric_limits<float>::infinity();
    const std::size_t recent = std::min<std::size_t>(audioEnergy_.size(), 20);
    for (std::size_t i = audioEnergy_.size() - recent; i < audioEnergy_.size(); ++i)
      minAvgEnergy = std::min(minAvgEnergy, audioEnergy_[i].avg);
    record = {relativeLevel(energy.avg, std::max(minAvgEnergy, 1e-8f)), energy.avg, energy.max, energy.min};
    audioEnergy_.push_back(record);
    callback = audioBufferCallback_;
    storeCount = audioSamples_.size();
  }
  if (callback) callback(samples);

  // A period of 0 or one that overflows skips the report.
  const std::int64_t length = minBufferLength_, window = relativeEnergyWindow_;
  std::int64_t period = 0;
  if (length > 0 && window > 0 && !__builtin_mul_overflow(length, window, &period) &&
      storeCount % static_cast<std::size_t>(period) == 0) {
    Logging::debug("Current audio size: " + std::to_string(storeCount) + " samples, most recent buffer: " +
                   std::to_string(samples.size()) + " samples, most recent energy: (rel: " + kestrum::describe(record.rel) +
                   ", avg: " + kestrum::describe(record.avg) + ", max: " + kestrum::describe(record.max) +
                   ", min: " + kestrum::describe(record.min) + ")");
  }
}

// ---- statics ----

std::vector<AudioDevice> AudioProcessor::getAudioDevices() {
  std::vector<platform::audio::InputDeviceInfo> found;
  try {
    found = platform::audio::listInputDevices();
  } catch (const CaptureError&) {
    Logging::error("Error: Unable to get the number of audio devices.");
    return {};
  }
  std::vector<AudioDevice> devices;
  for (const auto& device : found)
    if (device.inputChannels > 0) devices.push_back({device.id, device.name});
  return devices;
}

float AudioProcessor::calculateAverageEnergy(std::span<const float> samples) { return detail::rootMeanSquare(samples); }

EnergyValues AudioProcessor::calculateEnergy(std::span<const float> samples) {
  EnergyValues values;
  values.avg = detail::rootMeanSquare(samples);
  if (samples.empty()) return values;
  values.min = std::numeric_limits<float>::infinity();
  for (float x : samples) {
    values.max = std::max(values.max, std::fabs(x));
    values.min = std::min(values.min, std::fabs(x));
  }
  return values;
}

float AudioProcessor::calculateRelativeEnergy(std::span<const float> samples, std::optional<float> relativeTo) {
  const float reference = relativeTo ? std::max(*relativeTo, 1e-8f) : 0.001f;
  return relativeLevel(calculateAverageEnergy(samples), reference);
}

// Each energy value stands for 0.1 s; only the older part of the recent values is looked at.
bool AudioProcessor::isVoiceDetected(std::span<const float> energy, float nextBufferInSeconds, float silenceThreshold) {
  const float buffers = nextBufferInSeconds / 0.1f;
  if (!(buffers >= 0)) return false;
  const std::size_t wanted = buffers >= static_cast<float>(energy.size()) ? energy.size() : static_cast<std::size_t>(buffers);
  const auto recent = energy.subspan(energy.size() - wanted);
  const std::size_t looked = std::min<std::size_t>(recent.size(), std::max<std::int64_t>(static_cast<std::int64_t>(recent.size()) - 10, 10));
  return std::any_of(recent.begin(), recent.begin() + looked, [&](float e) { return e > silenceThreshold; });
}

std::vector<IndexRange> AudioProcessor::calculateNonSilentChunks(std::span<const float> samples) {
  return EnergyVAD().calculateActiveChunks(samples);
}

std::vector<bool> AudioProcessor::calculateVoiceActivityInChunks(std::span<const float> samples, std::int64_t chunkCount,
                                                                 std::int64_t frameLengthSamples,
                                                                 std::int64_t frameOverlapSamples, float energyThreshold) {
  return detail::energyVoiceActivity(samples, chunkCount, frameLengthSamples, frameOverlapSamples, energyThreshold);
}

}  // namespace murmel
