// Stages and folders for engine tests. The recording stages note every model load in one shared
// log ("<stage> <file> <compute units> load|prewarm") and load nothing from disk; the decoder keeps
// whatever model it was given (the scripted one), so the real TextDecoder decodes. A folder stub
// holds empty compiled-model folders, enough for the engine's file checks.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Murmel/audio/AudioEncoder.h"
#include "Murmel/audio/AudioProcessor.h"
#include "Murmel/common/EngineLogging.h"
#include "Murmel/decoding/TextDecoder.h"
#include "Murmel/MurmelConfig.h"
#include "Murmel/tests/ScriptedDecoder.h"
#include "testsupport/Fixtures.h"

namespace murmel::testing {

class LoadLog {
 public:
  void add(const std::string& stage, const std::filesystem::path& url, platform::ml::MLComputeUnits units, bool prewarm) {
    std::lock_guard hold(mutex_);
    lines_.push_back(stage + " " + url.filename().string() + " " + std::to_string(static_cast<int>(units)) +
                     (prewarm ? " prewarm" : " load"));
  }
  std::vector<std::string> lines() const {
    std::lock_guard hold(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

class RecordingExtractor : public FeatureExtracting, public WhisperMLModel {
 public:
  explicit RecordingExtractor(std::shared_ptr<LoadLog> log, std::int64_t windowSamples = 480000)
      : log_(std::move(log)), windowSamples_(windowSamples) {}
  std::optional<std::int64_t> melCount() const override { return 80; }
  std::optional<std::int64_t> windowSamples() const override { return windowSamples_; }
  std::optional<FeatureExtractorOutputType> logMelSpectrogram(const AudioProcessorOutputType& audio) override {
    std::lock_guard hold(mutex_);
    windows.push_back(audio->count());
    return platform::ml::MLMultiArray::make({1, 1}, platform::ml::MLMultiArrayDataType::float16);
  }
  void loadModel(const std::filesystem::path& url, platform::ml::MLComputeUnits units, bool prewarm) override {
    log_->add("mel", url, units, prewarm);
  }
  std::vector<std::int64_t> windows;  // sample count of every window seen

 private:
  std::mutex mutex_;
  std::shared_ptr<LoadLog> log_;
  std::int64_t windowSamples_;
};

class RecordingEncoder : public AudioEncoding, public WhisperMLModel {
 public:
  RecordingEncoder(std::shared_ptr<LoadLog> log, AudioEncoderOutputType output, std::optional<std::int64_t> embed = 6)
      : log_(std::move(log)), output_(std::move(output)), embed_(embed) {}
  std::optional<std::int64_t> embedSize() const override { return embed_; }
  std::optional<AudioEncoderOutputType> encodeFeatures(const FeatureExtractorOutputType&) override { return output_; }
  void loadModel(const std::filesystem::path& url, platform::ml::MLComputeUnits units, bool prewarm) override {
    log_->add("encoder", url, units, prewarm);
  }

 private:
  std::shared_ptr<LoadLog> log_;
  AudioEncoderOutputType output_;
  std::optional<std::int64_t> embed_;
};

// The real decoder over the model it was given; loads are only logged.
class RecordingDecoder : public TextDecoder {
 public:
  explicit RecordingDecoder(std::shared_ptr<LoadLog> log) : log_(std::move(log)) {}
  void loadModel(const std::filesystem::path& url, platform::ml::MLComputeUnits units, bool prewarm) override {
    log_->add("decoder", url, units, prewarm);
  }
  // Keeps the model: these tests unload only to watch the state.
  void unloadModel() override { ++unloads; }
  int unloads = 0;

 private:
  std::shared_ptr<LoadLog> log_;
};

// A folder of empty compiled-model folders (the three required ones by default).
class ModelFolderStub {
 public:
  explicit ModelFolderStub(std::vector<std::string> names = {"MelSpectrogram", "AudioEncoder", "TextDecoder"}) {
    for (const auto& name : names) std::filesystem::create_directories(path() / (name + ".mlmodelc"));
  }
  const std::filesystem::path& path() const { return dir_.path(); }

 private:
  testsupport::TempDir dir_;
};

// The real audio front end; window cuts are recorded (sample count and middle sample).
class RecordingAudioProcessor : public AudioProcessor {
 public:
  std::optional<AudioProcessorOutputType> padOrTrim(std::span<const float> audioArray, std::int64_t startAt,
                                                    std::int64_t toLength) override {
    std::lock_guard hold(mutex_);
    inputs.emplace_back(audioArray.size(), audioArray.empty() ? 0.0f : audioArray[audioArray.size() / 2]);
    return AudioProcessor::padOrTrim(audioArray, startAt, toLength);
  }
  std::vector<std::pair<std::size_t, float>> inputs;

 private:
  std::mutex mutex_;
};

// Recording stages over the scripted decoder, and a configuration that names them (no download,
// no load at construction, not verbose).
struct EngineStages {
  explicit EngineStages(ScriptedDecoderShape shape = {}, std::int64_t windowSamples = 480000) : fake(shape) {
    extractor = std::make_shared<RecordingExtractor>(log, windowSamples);
    encoder = std::make_shared<RecordingEncoder>(log, fake.encoderOutput());
    decoder = std::make_shared<RecordingDecoder>(log);
    decoder->setModel(fake.decoderModel());
  }

  MurmelConfig config(const std::optional<std::filesystem::path>& folder) const {
    MurmelConfig c;
    if (folder) c.modelFolder = folder->string();
    c.featureExtractor = extractor;
    c.audioEncoder = encoder;
    c.textDecoder = decoder;
    c.download = false;
    c.load = false;
    c.verbose = false;
    return c;
  }

  std::shared_ptr<LoadLog> log = std::make_shared<LoadLog>();
  ScriptedDecoder fake;
  std::shared_ptr<RecordingExtractor> extractor;
  std::shared_ptr<RecordingEncoder> encoder;
  std::shared_ptr<RecordingDecoder> decoder;
};

}  // namespace murmel::testing
