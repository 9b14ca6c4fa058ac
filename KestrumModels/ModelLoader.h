// The model-specific work a ModelManager drives: where the models already are, how they are
// downloaded, loaded (or prewarmed: compiled and released) and unloaded. Implementations are
// shared objects; the manager calls them from the thread of the operation it runs and may call
// several at once when its own callers do.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "KestrumCore/Progress.h"
#include "KestrumModels/ModelDownloader.h"

namespace kestrum {

class ModelLoader {
 public:
  using ProgressCallback = std::function<void(const kestrum::Progress&)>;

  virtual ~ModelLoader() = default;

  // A folder path that already holds the models, if any.
  virtual std::optional<std::string> modelFolder() const = 0;
  // Downloads the models with `downloader` and returns their file-system path. May throw.
  virtual std::string downloadModels(const ModelDownloader& downloader, const ProgressCallback& progressCallback) = 0;
  // Loads the models at `path` for use, or with `prewarmMode` compiles and releases them. May throw.
  virtual void loadModels(const std::string& path, bool prewarmMode) = 0;
  // Releases the models.
  virtual void unloadModels() noexcept = 0;
};

}  // namespace kestrum
