// The real speech engine behind the dictation core: a SpeechEngine over murmel::Murmel, and the
// factory the application hands to its Transcriber. Creation builds the engine from a MurmelConfig
// of the options' fields (stages, token, endpoint and input left absent) and then loads the models
// when `load` is absent and a model folder is known, so a created engine is ready to transcribe.
// Blocking; errors of download, files, loading and transcription pass through unchanged.
// Transcriptions may run on several threads at once (the engine allows it once loaded).
//   Transcriber transcriber(makeMurmelEngineFactory());
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Parlet/core/SpeechEngine.h"

namespace murmel {
class Murmel;
}

namespace parlet {

class MurmelSpeechEngine : public SpeechEngine {
 public:
  // Takes an engine that is already built; `engine` must not be null.
  explicit MurmelSpeechEngine(std::shared_ptr<murmel::Murmel> engine);

  // Builds the engine from the options as described above.
  static std::shared_ptr<MurmelSpeechEngine> create(const EngineOptions& options);

  // The engine's file transcription with its default decoding options; one result per engine result.
  std::vector<EngineResult> transcribe(const std::string& audioPath) override;
  // That of the engine's default decoding options.
  std::optional<float> noSpeechThreshold() const override;

  const std::shared_ptr<murmel::Murmel>& engine() const { return engine_; }

 private:
  std::shared_ptr<murmel::Murmel> engine_;
};

// MurmelSpeechEngine::create as a factory.
SpeechEngineFactory makeMurmelEngineFactory();

}  // namespace parlet
