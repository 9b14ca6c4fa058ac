#include "Parlet/desktop/app/EngineWiring.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "Murmel/models/ModelDownload.h"
#include "Parlet/core/MurmelSpeechEngine.h"
#include "Parlet/core/ParletLog.h"

namespace parlet::app {

bool hubOfflineRequested() {
  const char* value = std::getenv("HF_HUB_OFFLINE");
  if (!value) return false;
  std::string text(value);
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text == "1" || text == "true" || text == "yes" || text == "on";
}

SpeechEngineFactory applicationEngineFactory(std::function<void(const kestrum::Progress&)> downloadProgress,
                                             std::function<void()> downloadEnded) {
  return [downloadProgress, downloadEnded, engines = makeMurmelEngineFactory()](const EngineOptions& options) {
    // The engine's lines (download, packing, loading) join the application's log from the start.
    ParletLog::adoptLibraryLines(options.verbose ? options.logLevel : kestrum::Logging::LogLevel::none);
    EngineOptions local = options;
    if (options.model && options.download && !options.modelFolder) {
      // Offline: the repository client looks in the cache only. Otherwise it decides from the network.
      const std::optional<bool> offline = hubOfflineRequested() ? std::optional<bool>(true) : std::nullopt;
      try {
        local.modelFolder = murmel::download(*options.model, options.downloadBase, options.useBackgroundDownloadSession,
                                             options.modelRepo, std::nullopt, std::nullopt, downloadProgress, offline)
                                .string();
      } catch (const std::exception& error) {
        if (downloadEnded) downloadEnded();
        // Offline by choice: say whose choice, so the menu can tell the user.
        if (offline) throw std::runtime_error(std::string("HF_HUB_OFFLINE is set: ") + error.what());
        throw;
      } catch (...) {
        if (downloadEnded) downloadEnded();
        throw;
      }
      local.download = false;  // the folder is current: the engine asks no one again
    }
    if (downloadEnded) downloadEnded();
    return engines(local);
  };
}

}  // namespace parlet::app
