#include "Parlet/core/MurmelSpeechEngine.h"

#include <stdexcept>
#include <utility>

#include "Murmel/Murmel.h"

namespace parlet {

MurmelSpeechEngine::MurmelSpeechEngine(std::shared_ptr<murmel::Murmel> engine) : engine_(std::move(engine)) {
  if (!engine_) throw std::invalid_argument("MurmelSpeechEngine needs an engine");
}

std::shared_ptr<MurmelSpeechEngine> MurmelSpeechEngine::create(const EngineOptions& options) {
  // Every field the options do not name stays absent: the engine's default stages, units and input.
  auto engine = murmel::Murmel::create(murmel::MurmelConfig{.model = options.model,
                                                            .downloadBase = options.downloadBase,
                                                            .modelRepo = options.modelRepo,
                                                            .modelFolder = options.modelFolder,
                                                            .tokenizerFolder = options.tokenizerFolder,
                                                            .verbose = options.verbose,
                                                            .logLevel = options.logLevel,
                                                            .prewarm = options.prewarm,
                                                            .load = options.load,
                                                            .download = options.download,
                                                            .useBackgroundDownloadSession =
                                                                options.useBackgroundDownloadSession});
  // The engine itself loads at construction only for a folder it was given; a downloaded one would
  // otherwise load inside the first dictation, and concurrent first transcriptions would each load.
  if (!options.load && engine->modelFolder() && engine->modelState() != kestrum::ModelState::loaded)
    engine->loadModels(false);
  return std::make_shared<MurmelSpeechEngine>(std::move(engine));
}

std::vector<EngineResult> MurmelSpeechEngine::transcribe(const std::string& audioPath) {
  const murmel::TranscriptionResults results = engine_->transcribe(audioPath);
  std::vector<EngineResult> out;
  out.reserve(results.size());
  for (const auto& result : results) {
    EngineResult converted;
    if (result) {
      converted.text = result->text();
      for (const auto& segment : result->segments()) converted.noSpeechProbs.push_back(segment.noSpeechProb);
    }
    out.push_back(std::move(converted));
  }
  return out;
}

std::optional<float> MurmelSpeechEngine::noSpeechThreshold() const { return murmel::DecodingOptions{}.noSpeechThreshold; }

SpeechEngineFactory makeMurmelEngineFactory() {
  return [](const EngineOptions& options) -> std::shared_ptr<SpeechEngine> { return MurmelSpeechEngine::create(options); };
}

}  // namespace parlet
