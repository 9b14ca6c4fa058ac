// What the dictation core uses of the speech engine: construction with the convenience
// initialiser's arguments, and transcription of an audio file into results with text.
// The engine library supplies the real factory; tests pass a fake. Engines may be called from
// several threads at once; whether they serialise is their own affair.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "KestrumCore/Logging.h"

namespace parlet {

// Arguments of the engine's convenience initialiser, in its order. The stage objects
// (compute options, audio processor, feature extractor, audio encoder, text decoder, logits
// filters, segment seeker) are always absent from the application and so are not carried.
struct EngineOptions {
  std::optional<std::string> model;
  std::optional<std::filesystem::path> downloadBase;
  std::optional<std::string> modelRepo;
  std::optional<std::string> modelFolder;
  std::optional<std::filesystem::path> tokenizerFolder;
  bool verbose = true;
  kestrum::Logging::LogLevel logLevel = kestrum::Logging::LogLevel::info;
  std::optional<bool> prewarm;
  std::optional<bool> load;
  bool download = true;
  bool useBackgroundDownloadSession = false;

  friend bool operator==(const EngineOptions&, const EngineOptions&) = default;
};

struct EngineResult {
  EngineResult(std::string text = {}, std::vector<float> noSpeechProbs = {})
      : text(std::move(text)), noSpeechProbs(std::move(noSpeechProbs)) {}

  std::string text;
  std::vector<float> noSpeechProbs;  // per segment: the model's belief that it held no speech
};

class SpeechEngine {
 public:
  virtual ~SpeechEngine() = default;
  // Transcribes the file with the engine's default decoding options and no progress callback.
  // Results in order. Throws the engine's errors unchanged.
  virtual std::vector<EngineResult> transcribe(const std::string& audioPath) = 0;
  // A segment's no-speech probability above this says it held no speech; absent: no such verdict.
  virtual std::optional<float> noSpeechThreshold() const { return std::nullopt; }
};

// Creates (downloads and loads) an engine; blocking, throws any download, file or load error.
using SpeechEngineFactory = std::function<std::shared_ptr<SpeechEngine>(const EngineOptions&)>;

}  // namespace parlet
