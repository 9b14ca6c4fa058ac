#include "KestrumModels/ModelManager.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <typeinfo>
#include <utility>

#include "KestrumCore/ErrorDescription.h"
#include "KestrumCore/KestrumCoreError.h"
#include "KestrumCore/Logging.h"

namespace kestrum {

namespace fs = std::filesystem;

namespace {

// "kestrum::ModelManager" => "ModelManager"; "app::Cache<int>" => "Cache<int>".
std::string unqualifiedTypeName(const std::type_info& type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : type.name();
  std::free(demangled);
  int depth = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '<') ++depth;
    else if (name[i] == '>') --depth;
    else if (depth == 0 && name.compare(i, 2, "::") == 0) start = i + 2;
  }
  return name.substr(start);
}

}  // namespace

ModelManager::ModelManager(std::shared_ptr<ModelLoader> loader, std::shared_ptr<ModelDownloader> downloader)
    : downloader_(std::move(downloader)), loader_(std::move(loader)) {
  if (!loader_ || !downloader_) throw std::invalid_argument("ModelManager needs a loader and a downloader");
}

ModelState ModelManager::modelState() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return modelState_;
}

void ModelManager::setModelState(ModelState state) {
  ModelState old;
  ModelStateCallback callback;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    old = std::exchange(modelState_, state);
    if (old == state) return;
    callback = modelStateCallback_;
  }
  if (callback) callback(old, state);
}

ModelManager::ModelStateCallback ModelManager::modelStateCallback() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return modelStateCallback_;
}

void ModelManager::setModelStateCallback(ModelStateCallback callback) {
  std::lock_guard<std::mutex> hold(mutex_);
  modelStateCallback_ = std::move(callback);
}

std::optional<fs::path> ModelManager::modelPath() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return modelPath_;
}

void ModelManager::setModelPath(std::optional<fs::path> path) {
  std::lock_guard<std::mutex> hold(mutex_);
  modelPath_ = std::move(path);
}

std::optional<fs::path> ModelManager::modelFolder() const {
  if (auto folder = loader_->modelFolder()) return fs::path(*folder);
  return std::nullopt;
}

const std::string& ModelManager::loggerName() const {
  // typeid(*this) names the dynamic type only once construction is over, so not in the constructor.
  std::call_once(loggerNameOnce_, [this] { loggerName_ = unqualifiedTypeName(typeid(*this)); });
  return loggerName_;
}

void ModelManager::ensureModelsLoaded() {
  if (modelState() == ModelState::loaded) return;
  coordinator_.run([this] {
    if (modelState() == ModelState::loaded) return;
    downloadModels();
    loadModels();
  });
}

void ModelManager::downloadModels(const ProgressCallback& progressCallback) {
  const ModelState state = modelState();
  if (state != ModelState::unloaded) {
    Logging::debug(prefix() + "Models already downloaded (state: " + description(state) + "), skipping download");
    return;
  }
  if (auto folder = loader_->modelFolder()) {
    Logging::debug(prefix() + "modelFolder is set, skipping download");
    setModelPath(fs::path(*folder));
    setModelState(ModelState::downloaded);
    return;
  }
  Logging::info(prefix() + "Starting download process...");
  setModelState(ModelState::downloading);
  std::string path;
  try {
    path = loader_->downloadModels(*downloader_, progressCallback);
  } catch (...) {
    setModelState(ModelState::unloaded);
    Logging::error(prefix() + "Failed to download models: " + describeError(std::current_exception()));
    throw;
  }
  setModelPath(fs::path(path));
  setModelState(ModelState::downloaded);
  Logging::info(prefix() + "Models downloaded to " + path);
}

std::string ModelManager::modelPathForLoading() const {
  if (auto path = modelPath()) return path->string();
  if (auto folder = loader_->modelFolder()) return *folder;
  throw KestrumCoreError::invalidConfiguration(
      "No model path available. Call downloadModels() first, or provide modelFolder.");
}

void ModelManager::prewarmModels() {
  if (modelState() == ModelState::unloaded) downloadModels();
  const std::string path = modelPathForLoading();
  const ModelState state = modelState();
  if (state == ModelState::prewarmed) {
    Logging::debug(prefix() + "Models already prewarmed, skipping");
    return;
  }
  if (state != ModelState::downloaded)
    throw KestrumCoreError::invalidConfiguration("Cannot prewarm in state: " + description(state));
  setModelState(ModelState::prewarming);
  try {
    loader_->loadModels(path, true);
  } catch (...) {
    setModelState(ModelState::unloaded);
    Logging::error(prefix() + "Failed to prewarm models: " + describeError(std::current_exception()));
    throw;
  }
  setModelState(ModelState::prewarmed);
  Logging::info(prefix() + "Models prewarmed successfully");
}

void ModelManager::loadModels() {
  if (modelState() == ModelState::unloaded) downloadModels();
  const std::string path = modelPathForLoading();
  const ModelState state = modelState();
  if (state == ModelState::loaded) {
    Logging::debug(prefix() + "Models already loaded, skipping");
    return;
  }
  if (state != ModelState::downloaded && state != ModelState::prewarmed)
    throw KestrumCoreError::invalidConfiguration("Cannot load in state: " + description(state));
  setModelState(ModelState::loading);
  try {
    loader_->loadModels(path, false);
  } catch (...) {
    setModelState(ModelState::unloaded);
    Logging::error(prefix() + "Failed to load models: " + describeError(std::current_exception()));
    throw;
  }
  setModelState(ModelState::loaded);
  Logging::info(prefix() + "Models loaded successfully");
}

void ModelManager::unloadModels() {
  const ModelState state = modelState();
  if (state != ModelState::loaded && state != ModelState::prewarmed) return;
  setModelState(ModelState::unloading);
  loader_->unloadModels();
  setModelState(ModelState::unloaded);
}

bool ModelManager::isAvailable() const {
  const ModelState state = modelState();
  return state == ModelState::loading || state == ModelState::loaded || state == ModelState::downloaded;
}

bool ModelManager::isLoaded() const { return modelState() == ModelState::loaded; }

}  // namespace kestrum
