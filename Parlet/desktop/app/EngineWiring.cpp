#include "Parlet/desktop/app/EngineWiring.h"

#include "Murmel/models/ModelDownload.h"
#include "Parlet/core/MurmelSpeechEngine.h"

namespace parlet::app {

SpeechEngineFactory applicationEngineFactory(std::function<void(const hub::Progress&)> downloadProgress,
                                             std::function<void()> downloadEnded) {
  return [downloadProgress, downloadEnded, engines = makeMurmelEngineFactory()](const EngineOptions& options) {
    // The model is brought into the cache here first, where its download can be watched; the
    // engine's own download then finds it there.
    if (options.model && options.download) {
      try {
        murmel::download(*options.model, options.downloadBase, options.useBackgroundDownloadSession, options.modelRepo,
                         std::nullopt, std::nullopt, downloadProgress);
      } catch (...) {
        if (downloadEnded) downloadEnded();
        throw;
      }
    }
    if (downloadEnded) downloadEnded();
    return engines(options);
  };
}

}  // namespace parlet::app
