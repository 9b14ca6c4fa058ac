// Drives one set of models through download, prewarm, load and unload for a ModelLoader that does
// the model-specific work. Each step is guarded by the states it may start from and reports every
// change of state to the callback, with the old and the new state, on the thread that changes it.
// Steps are not serialised against each other, except ensureModelsLoaded: concurrent callers join
// the load already running and share its outcome (result or exception). Fields are read and
// written under a lock, so the manager may be used from several threads. Errors: the loader's,
// unchanged, and KestrumCoreError::invalidConfiguration for a step in the wrong state or without
// a model path. Log lines start with the manager's own type name in brackets.
//   ModelManager manager(loader, downloader);  manager.ensureModelsLoaded();
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "KestrumCore/ModelState.h"
#include "KestrumModels/detail/LoadModelsCoordinator.h"
#include "KestrumModels/ModelDownloader.h"
#include "KestrumModels/ModelLoader.h"

namespace kestrum {

class ModelManager {
 public:
  using ModelStateCallback = std::function<void(ModelState oldState, ModelState newState)>;
  using ProgressCallback = ModelLoader::ProgressCallback;

  // State unloaded, no callback, no path.
  ModelManager(std::shared_ptr<ModelLoader> loader, std::shared_ptr<ModelDownloader> downloader);
  virtual ~ModelManager() = default;
  ModelManager(const ModelManager&) = delete;
  ModelManager& operator=(const ModelManager&) = delete;

  virtual ModelState modelState() const;
  // A different state calls the callback with (old, new); the same state calls nothing.
  virtual void setModelState(ModelState state);
  virtual ModelStateCallback modelStateCallback() const;
  virtual void setModelStateCallback(ModelStateCallback callback);
  // Where the downloaded (or given) models are.
  virtual std::optional<std::filesystem::path> modelPath() const;
  virtual void setModelPath(std::optional<std::filesystem::path> path);
  // The loader's model folder.
  virtual std::optional<std::filesystem::path> modelFolder() const;
  // The unqualified name of the object's own type ("ModelManager", or a subclass's name).
  virtual const std::string& loggerName() const;

  const std::shared_ptr<ModelDownloader>& downloader() const { return downloader_; }
  const std::shared_ptr<ModelLoader>& loader() const { return loader_; }

  // Returns once the models are loaded: download, then load, through the coordinator.
  virtual void ensureModelsLoaded();
  // From unloaded only: takes the loader's model folder, else has the loader download.
  virtual void downloadModels(const ProgressCallback& progressCallback = {});
  // From downloaded (after a download when unloaded); already prewarmed is no failure.
  virtual void prewarmModels();
  // From downloaded or prewarmed (after a download when unloaded); already loaded is no failure.
  virtual void loadModels();
  // From loaded or prewarmed; does nothing in any other state.
  virtual void unloadModels();

  // True in loading, loaded and downloaded.
  virtual bool isAvailable() const;
  virtual bool isLoaded() const;

 protected:
  const detail::LoadModelsCoordinator& loadCoordinator() const { return coordinator_; }

 private:
  std::string modelPathForLoading() const;
  std::string prefix() const { return "[" + loggerName() + "] "; }

  mutable std::mutex mutex_;
  ModelState modelState_ = ModelState::unloaded;
  ModelStateCallback modelStateCallback_;
  std::optional<std::filesystem::path> modelPath_;
  std::shared_ptr<ModelDownloader> downloader_;
  std::shared_ptr<ModelLoader> loader_;
  mutable std::once_flag loggerNameOnce_;
  mutable std::string loggerName_;
  detail::LoadModelsCoordinator coordinator_;
};

}  // namespace kestrum
