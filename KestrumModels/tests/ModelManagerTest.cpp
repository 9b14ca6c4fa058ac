#include "KestrumModels/ModelManager.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "KestrumCore/Concurrency.h"
#include "KestrumCore/KestrumCoreError.h"
#include "KestrumCore/tests/LogCapture.h"

namespace kestrum {
namespace {

namespace fs = std::filesystem;
using testsupport::LogCapture;
using Change = std::pair<ModelState, ModelState>;
using Changes = std::vector<Change>;

struct LoaderFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A loader that records its calls and fails or blocks on request.
class FakeLoader : public ModelLoader {
 public:
  std::optional<std::string> folder;
  std::string downloadedPath = "/downloads/models";
  std::function<void()> onDownload;              // may throw
  std::function<void(bool prewarm)> onLoad;      // may throw or block

  std::atomic<int> downloads{0}, loads{0}, prewarms{0}, unloads{0};
  std::vector<std::string> loadedPaths;
  const ModelDownloader* downloaderSeen = nullptr;
  bool progressCallbackSeen = false;

  std::optional<std::string> modelFolder() const override { return folder; }
  std::string downloadModels(const ModelDownloader& downloader, const ProgressCallback& progressCallback) override {
    ++downloads;
    downloaderSeen = &downloader;
    progressCallbackSeen = static_cast<bool>(progressCallback);
    if (onDownload) onDownload();
    return downloadedPath;
  }
  void loadModels(const std::string& path, bool prewarmMode) override {
    ++(prewarmMode ? prewarms : loads);
    {
      std::lock_guard<std::mutex> hold(mutex);
      loadedPaths.push_back(path);
    }
    if (onLoad) onLoad(prewarmMode);
  }
  void unloadModels() noexcept override { ++unloads; }

  std::mutex mutex;
};

std::shared_ptr<ModelDownloader> someDownloader() {
  return std::make_shared<ModelDownloader>(ModelDownloadConfig{.modelRepo = "o/models", .endpoint = "http://127.0.0.1:9"});
}

// The plain manager, logging under its name, with its load coordinator in view.
struct ObservableManager : ModelManager {
  using ModelManager::loadCoordinator;
  using ModelManager::ModelManager;
  const std::string& loggerName() const override {
    static const std::string name = "ModelManager";
    return name;
  }
};

struct Managed {
  explicit Managed(std::optional<std::string> folder = std::nullopt) : loader(std::make_shared<FakeLoader>()) {
    loader->folder = std::move(folder);
    manager = std::make_unique<ObservableManager>(loader, downloader);
    manager->setModelStateCallback([this](ModelState from, ModelState to) { changes.emplace_back(from, to); });
  }
  // Puts the manager in `state` with a path, without recording the change.
  void startIn(ModelState state) {
    manager->setModelPath(fs::path("/given"));
    auto callback = manager->modelStateCallback();
    manager->setModelStateCallback({});
    manager->setModelState(state);
    manager->setModelStateCallback(callback);
  }
  std::shared_ptr<ModelDownloader> downloader = someDownloader();
  std::shared_ptr<FakeLoader> loader;
  std::unique_ptr<ObservableManager> manager;
  Changes changes;
};

constexpr ModelState kAllStates[] = {ModelState::unloading, ModelState::unloaded,   ModelState::loading,
                                     ModelState::loaded,    ModelState::prewarming, ModelState::prewarmed,
                                     ModelState::downloading, ModelState::downloaded};

TEST(ModelManagerTest, LoadWithAModelFolderSkipsTheDownload) {
  Managed m("/models/here");
  LogCapture log(Logging::LogLevel::debug);
  m.manager->loadModels();
  EXPECT_EQ(m.changes, (Changes{{ModelState::unloaded, ModelState::downloaded},
                                {ModelState::downloaded, ModelState::loading},
                                {ModelState::loading, ModelState::loaded}}));
  EXPECT_EQ(m.loader->downloads, 0);
  EXPECT_EQ(m.loader->loadedPaths, std::vector<std::string>{"/models/here"});
  EXPECT_EQ(m.manager->modelPath(), fs::path("/models/here"));
  EXPECT_EQ(m.manager->modelFolder(), fs::path("/models/here"));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"[ModelManager] modelFolder is set, skipping download",
                                                   "[ModelManager] Models loaded successfully"}));
}

TEST(ModelManagerTest, DownloadThenPrewarmThenLoadThenUnload) {
  Managed m;
  LogCapture log(Logging::LogLevel::info);
  m.manager->downloadModels([](const kestrum::Progress&) {});
  EXPECT_EQ(m.loader->downloaderSeen, m.downloader.get());
  EXPECT_TRUE(m.loader->progressCallbackSeen);
  EXPECT_EQ(m.manager->modelPath(), fs::path("/downloads/models"));
  m.manager->prewarmModels();
  m.manager->prewarmModels();  // already prewarmed: nothing
  m.manager->loadModels();
  m.manager->loadModels();  // already loaded: nothing
  m.manager->unloadModels();
  EXPECT_EQ(m.changes, (Changes{{ModelState::unloaded, ModelState::downloading},
                                {ModelState::downloading, ModelState::downloaded},
                                {ModelState::downloaded, ModelState::prewarming},
                                {ModelState::prewarming, ModelState::prewarmed},
                                {ModelState::prewarmed, ModelState::loading},
                                {ModelState::loading, ModelState::loaded},
                                {ModelState::loaded, ModelState::unloading},
                                {ModelState::unloading, ModelState::unloaded}}));
  EXPECT_EQ(m.loader->downloads, 1);
  EXPECT_EQ(m.loader->prewarms, 1);
  EXPECT_EQ(m.loader->loads, 1);
  EXPECT_EQ(m.loader->unloads, 1);
  EXPECT_EQ(m.loader->loadedPaths, (std::vector<std::string>{"/downloads/models", "/downloads/models"}));
  EXPECT_EQ(m.manager->modelPath(), fs::path("/downloads/models"));  // unloading keeps it
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"[ModelManager] Starting download process...",
                                                   "[ModelManager] Models downloaded to /downloads/models",
                                                   "[ModelManager] Models prewarmed successfully",
                                                   "[ModelManager] Models loaded successfully"}));
}

TEST(ModelManagerTest, EachStepStartsOnlyFromItsStates) {
  // What prewarm and load do from each state (the loader has a model folder, so unloaded downloads).
  struct Case {
    ModelState from;
    const char* prewarm;  // final state, or the error text
    const char* load;
  };
  const Case cases[] = {
      {ModelState::unloading, "Cannot prewarm in state: Unloading", "Cannot load in state: Unloading"},
      {ModelState::unloaded, "Specialized", "Loaded"},
      {ModelState::loading, "Cannot prewarm in state: Loading", "Cannot load in state: Loading"},
      {ModelState::loaded, "Cannot prewarm in state: Loaded", "Loaded"},
      {ModelState::prewarming, "Cannot prewarm in state: Specializing", "Cannot load in state: Specializing"},
      {ModelState::prewarmed, "Specialized", "Loaded"},
      {ModelState::downloading, "Cannot prewarm in state: Downloading", "Cannot load in state: Downloading"},
      {ModelState::downloaded, "Specialized", "Loaded"},
  };
  for (const auto& c : cases) {
    for (bool prewarm : {true, false}) {
      const std::string expected = prewarm ? c.prewarm : c.load;
      SCOPED_TRACE(description(c.from) + (prewarm ? " prewarm" : " load"));
      Managed m("/folder");
      m.startIn(c.from);
      try {
        prewarm ? m.manager->prewarmModels() : m.manager->loadModels();
        EXPECT_EQ(description(m.manager->modelState()), expected);
      } catch (const KestrumCoreError& e) {
        EXPECT_EQ(e.kind(), KestrumCoreError::Kind::invalidConfiguration);
        EXPECT_EQ(e.what(), expected);
        EXPECT_EQ(m.manager->modelState(), c.from);
        EXPECT_TRUE(m.changes.empty());
      }
    }
  }
  // Unload acts only on loaded and prewarmed models; download only from unloaded.
  for (ModelState from : kAllStates) {
    SCOPED_TRACE(description(from));
    Managed m;
    m.startIn(from);
    m.manager->unloadModels();
    const bool unloads = from == ModelState::loaded || from == ModelState::prewarmed;
    EXPECT_EQ(m.loader->unloads, unloads ? 1 : 0);
    EXPECT_EQ(m.changes.size(), unloads ? 2u : 0u);
    if (from == ModelState::unloaded) continue;
    Managed fresh;
    fresh.startIn(from);
    LogCapture log(Logging::LogLevel::debug);
    fresh.manager->downloadModels();
    EXPECT_EQ(fresh.loader->downloads, 0);
    EXPECT_TRUE(fresh.changes.empty());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[ModelManager] Models already downloaded (state: " +
                                                    description(from) + "), skipping download"});
  }
}

TEST(ModelManagerTest, WithoutAModelPathNothingLoads) {
  for (bool prewarm : {true, false}) {
    Managed m;
    m.manager->setModelState(ModelState::downloaded);  // but no path
    m.changes.clear();
    try {
      prewarm ? m.manager->prewarmModels() : m.manager->loadModels();
      ADD_FAILURE() << "loaded";
    } catch (const KestrumCoreError& e) {
      EXPECT_STREQ(e.what(), "No model path available. Call downloadModels() first, or provide modelFolder.");
    }
    EXPECT_EQ(m.manager->modelState(), ModelState::downloaded);
    EXPECT_TRUE(m.changes.empty());
    EXPECT_EQ(m.loader->loads + m.loader->prewarms, 0);
  }
}

TEST(ModelManagerTest, ALoaderFailureReturnsToUnloadedIsLoggedAndRethrown) {
  struct Case {
    const char* step;
    std::function<void(ModelManager&)> run;
    Changes changes;
    const char* line;
  };
  const Case cases[] = {
      {"download", [](ModelManager& m) { m.downloadModels(); },
       {{ModelState::unloaded, ModelState::downloading}, {ModelState::downloading, ModelState::unloaded}},
       "[ModelManager] Failed to download models: broken"},
      {"prewarm", [](ModelManager& m) { m.prewarmModels(); },
       {{ModelState::downloaded, ModelState::prewarming}, {ModelState::prewarming, ModelState::unloaded}},
       "[ModelManager] Failed to prewarm models: broken"},
      {"load", [](ModelManager& m) { m.loadModels(); },
       {{ModelState::downloaded, ModelState::loading}, {ModelState::loading, ModelState::unloaded}},
       "[ModelManager] Failed to load models: broken"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.step);
    Managed m;
    m.loader->onDownload = [] { throw LoaderFailure("broken"); };
    m.loader->onLoad = [](bool) { throw LoaderFailure("broken"); };
    if (std::string(c.step) != "download") m.startIn(ModelState::downloaded);
    LogCapture log(Logging::LogLevel::error);
    EXPECT_THROW(c.run(*m.manager), LoaderFailure);
    EXPECT_EQ(m.manager->modelState(), ModelState::unloaded);
    EXPECT_EQ(m.changes, c.changes);
    EXPECT_EQ(log.lines(), std::vector<std::string>{c.line});
  }
}

TEST(ModelManagerTest, AvailabilityFollowsTheState) {
  for (ModelState state : kAllStates) {
    Managed m;
    m.startIn(state);
    const bool available = state == ModelState::loading || state == ModelState::loaded || state == ModelState::downloaded;
    EXPECT_EQ(m.manager->isAvailable(), available) << description(state);
    EXPECT_EQ(m.manager->isLoaded(), state == ModelState::loaded) << description(state);
  }
}

namespace speech {
class SpeechModels : public ModelManager {
 public:
  using ModelManager::ModelManager;
};
}  // namespace speech

TEST(ModelManagerTest, LinesStartWithTheManagersOwnTypeName) {
  auto loader = std::make_shared<FakeLoader>();
  loader->folder = "/folder";
  speech::SpeechModels manager(loader, someDownloader());
  LogCapture log(Logging::LogLevel::info);
  manager.loadModels();
  EXPECT_EQ(log.lines(), std::vector<std::string>{"[SpeechModels] Models loaded successfully"});
}

// A gate the loader waits at until the test opens it.
class Gate {
 public:
  void arriveAndWait() {
    std::unique_lock<std::mutex> hold(mutex_);
    arrived_ = true;
    changed_.notify_all();
    changed_.wait(hold, [&] { return open_; });
  }
  void waitForArrival() {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [&] { return arrived_; });
  }
  void open() {
    std::lock_guard<std::mutex> hold(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool arrived_ = false, open_ = false;
};

// Starts `count` callers of ensureModelsLoaded while the first load waits at the gate, then opens
// it; returns each caller's error text ("" for success).
std::vector<std::string> loadConcurrently(ObservableManager& manager, Gate& gate, int count) {
  std::vector<std::string> outcomes(count);
  std::vector<std::thread> callers;
  auto call = [&](int i) {
    try {
      manager.ensureModelsLoaded();
    } catch (const std::exception& e) {
      outcomes[i] = e.what();
    }
  };
  callers.emplace_back(call, 0);
  gate.waitForArrival();
  for (int i = 1; i < count; ++i) callers.emplace_back(call, i);
  // Every late caller has joined the load in flight before it may end.
  while (manager.loadCoordinator().joinedCallers() < static_cast<std::size_t>(count - 1)) std::this_thread::yield();
  gate.open();
  for (auto& t : callers) t.join();
  return outcomes;
}

TEST(ModelManagerTest, ConcurrentLoadRequestsJoinOneLoad) {
  Managed m;
  Gate gate;
  m.loader->onLoad = [&](bool) { gate.arriveAndWait(); };
  const auto outcomes = loadConcurrently(*m.manager, gate, 6);
  EXPECT_EQ(outcomes, std::vector<std::string>(6));
  EXPECT_EQ(m.loader->downloads, 1);
  EXPECT_EQ(m.loader->loads, 1);
  EXPECT_TRUE(m.manager->isLoaded());
  EXPECT_EQ(m.changes.size(), 4u);  // downloading, downloaded, loading, loaded: once each

  m.manager->ensureModelsLoaded();  // loaded: returns at once
  EXPECT_EQ(m.loader->loads, 1);
}

TEST(ModelManagerTest, AFailedLoadFailsEveryWaiterAndTheNextRequestLoadsAgain) {
  Managed m;
  Gate gate;
  m.loader->onLoad = [&](bool) {
    gate.arriveAndWait();
    throw LoaderFailure("disk gone");
  };
  const auto outcomes = loadConcurrently(*m.manager, gate, 4);
  EXPECT_EQ(outcomes, std::vector<std::string>(4, "disk gone"));
  EXPECT_EQ(m.loader->loads, 1);
  EXPECT_EQ(m.manager->modelState(), ModelState::unloaded);

  m.loader->onLoad = nullptr;
  m.manager->ensureModelsLoaded();
  EXPECT_EQ(m.loader->downloads, 2);
  EXPECT_EQ(m.loader->loads, 2);
  EXPECT_TRUE(m.manager->isLoaded());
}

TEST(ModelManagerTest, TheSharedLoadIsNotCancelledWithTheCallerThatRunsIt) {
  Managed m("/folder");
  bool cancelledInside = true;
  m.loader->onLoad = [&](bool) { cancelledInside = isCancelled(); };
  std::stop_source stopped;
  stopped.request_stop();
  {
    StopTokenScope scope(stopped.get_token());
    m.manager->ensureModelsLoaded();
  }
  EXPECT_FALSE(cancelledInside);
  EXPECT_TRUE(m.manager->isLoaded());
}

TEST(ModelManagerTest, NeedsALoaderAndADownloader) {
  EXPECT_THROW(ModelManager(nullptr, someDownloader()), std::invalid_argument);
  EXPECT_THROW(ModelManager(std::make_shared<FakeLoader>(), nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace kestrum
