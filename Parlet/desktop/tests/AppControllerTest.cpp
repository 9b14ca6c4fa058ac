#include "Parlet/desktop/AppController.h"

#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Parlet/core/Paster.h"
#include "Parlet/core/Transcriber.h"
#include "Parlet/core/tests/Fakes.h"
#include "Parlet/desktop/tests/FakeWindow.h"

namespace parlet {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using std::chrono::milliseconds;
using State = Pipeline::State;

struct FakeDictation : Dictation {
  explicit FakeDictation(std::vector<std::string>& calls) : calls(calls) {}
  void prewarm() override { calls.push_back("prewarm"); }
  void start() override { calls.push_back("start"); }
  void stop() override { calls.push_back("stop"); }
  void cancel() override { calls.push_back("cancel"); }
  std::vector<std::string>& calls;
};

struct FakeNetworkWatch : NetworkWatch {
  void start(std::function<void(bool)> onChange) override { handler = std::move(onChange); }
  void report(bool online) {
    if (handler) handler(online);
  }
  std::function<void(bool)> handler;
};

class AppControllerTest : public ::testing::Test {
 protected:
  std::unique_ptr<AppController> make() {
    AppController::Dependencies d;
    d.mainQueue = &queue;
    d.settings = &settings;
    d.archive = &archive;
    d.pasteboard = pasteboard;
    d.keyMonitors = &monitors;
    d.makeDictation = [this](Pipeline::Callbacks callbacks) -> std::unique_ptr<Dictation> {
      if (makeDictation) return makeDictation(std::move(callbacks));
      pipeline = std::move(callbacks);
      return std::make_unique<FakeDictation>(dictation);
    };
    d.network = std::move(network);
    d.isTrusted = [this] { return trusted; };
    d.promptForTrust = [this] { ++prompts; };
    d.launchAtLoginEnabled = [this] { return loginEnabled; };
    d.setLaunchAtLogin = [this](bool on) {
      if (loginFails) throw std::runtime_error("no autostart folder");
      loginEnabled = on;
    };
    d.makeOnboardingWindow = [this](OnboardingController& c) {
      return std::make_unique<testing::FakeWindow>(onboardingWindows, [&c] { c.windowWillClose(); });
    };
    d.makeArchiveWindow = [this](ArchiveWindowController& c, std::unique_ptr<ArchiveViewModel>) {
      return std::make_unique<testing::FakeWindow>(archiveWindows, [&c] { c.windowWillClose(); });
    };
    d.keyName = keyName;
    d.version = "0.1.0";
    d.log = [this](const std::string& line) { log.push_back(line); };
    d.systemLog = [this](const std::string& line) { systemLog.push_back(line); };
    return std::make_unique<AppController>(std::move(d));
  }
  // The trigger key going down or up, to every installed monitor as the platform would.
  void key(bool down, std::uint16_t code = 61) {
    for (auto& m : monitors.monitors)
      if (m.global && m.mask == EventMask::flagsChanged) m.handler({code, down ? ModifierFlag::option : 0, down});
    queue.runUntilIdle();
  }
  // A key without a desktop code going down.
  void otherKey() {
    for (auto& m : monitors.monitors)
      if (m.global && m.mask == EventMask::keyDown) m.handler({kOtherKeyCode, 0, true});
    queue.runUntilIdle();
  }
  const StatusMenu& menu() { return app->menu().get(); }

  kestrum::ManualMainQueue queue;
  InMemorySettings settings;
  TranscriptArchive archive{"", {nullptr, nullptr, [](const std::string&) {}}};
  std::shared_ptr<testing::FakePasteboard> pasteboard = std::make_shared<testing::FakePasteboard>();
  testing::FakeKeyMonitors monitors;
  Pipeline::Callbacks pipeline;
  std::function<std::string(const HotkeyManager::Key&)> keyName;
  std::vector<std::string> dictation, log, systemLog;
  bool trusted = true, loginEnabled = false, loginFails = false;
  int prompts = 0;
  testing::WindowLog onboardingWindows, archiveWindows;
  std::function<std::unique_ptr<Dictation>(Pipeline::Callbacks)> makeDictation;  // none: FakeDictation
  std::unique_ptr<NetworkWatch> network;
  std::unique_ptr<AppController> app;

  // Launches with a network watch the test drives, which reports no network at first.
  FakeNetworkWatch* launchOffline() {
    auto watch = std::make_unique<FakeNetworkWatch>();
    FakeNetworkWatch* net = watch.get();
    network = std::move(watch);
    app = make();
    app->launch();
    net->report(false);
    return net;
  }
};

// The real pipeline over a transcriber whose engine cannot be created while the network is down.
struct OfflineFirstStart {
  struct RealDictation : Dictation {
    RealDictation(Pipeline::Callbacks callbacks, Pipeline::Dependencies dependencies)
        : pipeline(std::move(callbacks), std::move(dependencies)) {}
    void prewarm() override { pipeline.prewarm(); }
    void start() override { pipeline.start(); }
    void stop() override { pipeline.stop(); }
    void cancel() override { pipeline.cancel(); }
    Pipeline pipeline;
  };

  explicit OfflineFirstStart(kestrum::ManualMainQueue& queue) : queue(queue) {}
  std::function<std::unique_ptr<Dictation>(Pipeline::Callbacks)> factory(std::vector<std::string>& log) {
    return [this, &log](Pipeline::Callbacks callbacks) -> std::unique_ptr<Dictation> {
      auto sink = [&log](const std::string& line) { log.push_back(line); };
      Pipeline::Dependencies d;
      d.mainQueue = &queue;
      d.transcriber = transcriber;
      d.paster = std::make_shared<Paster>(Paster::Dependencies{&queue, std::make_shared<testing::FakePasteboard>(),
                                                                std::make_shared<testing::FakePasteKeys>(),
                                                                std::make_shared<testing::FakeFocus>(), sink, {}, {}});
      d.background = [this](std::function<void()> job) { executor(std::move(job)); };
      d.log = sink;
      d.systemLog = [](const std::string&) {};
      return std::make_unique<RealDictation>(std::move(callbacks), std::move(d));
    };
  }
  void settle() { testing::settle(queue, executor); }

  kestrum::ManualMainQueue& queue;
  testing::ManualExecutor executor;
  bool networkUp = false;
  int staleOfflineViews = 0;  // loads with the network up that the repository client still judges offline
  int constructions = 0;
  std::shared_ptr<Transcriber> transcriber =
      std::make_shared<Transcriber>([this](const EngineOptions&) -> std::shared_ptr<SpeechEngine> {
        ++constructions;
        if (!networkUp) throw std::runtime_error("Download failed: Could not resolve host: huggingface.co");
        if (staleOfflineViews > 0) {
          --staleOfflineViews;
          throw std::runtime_error("No local copy of model \"base.en\" of openai/whisper-base.en in /c (offline)");
        }
        return std::make_shared<testing::FakeEngine>();
      });
};

// No model in the cache and no network: the menu says why and offers to try again, the pill's
// notice stays until the menu is opened, the reason is in Parlet's log, and the load runs again
// by itself when the network comes back.
TEST_F(AppControllerTest, OfflineFirstStartSaysWhyOffersARetryAndLoadsWhenTheNetworkIsBack) {
  settings.setValue(UserSettings::hasOnboardedKey, true);
  OfflineFirstStart start(queue);
  makeDictation = start.factory(log);
  FakeNetworkWatch* net = launchOffline();
  start.settle();
  ASSERT_EQ(start.constructions, 1);
  EXPECT_THAT(log, Contains("prewarm failed: Download failed: Could not resolve host: huggingface.co"));
  ASSERT_TRUE(menu().modelProblem);
  EXPECT_EQ(modelProblemTitle(*menu().modelProblem),
            "Speech model unavailable: no connection to the model repository, and the speech model has not been "
            "downloaded yet.");
  EXPECT_TRUE(menu().retryEnabled);
  EXPECT_EQ(menu().icon, StatusIcon::idle);

  // The notice outlasts its 1.4 s until the menu, which tells why, is opened.
  queue.advance(milliseconds(10000));
  EXPECT_EQ(app->overlay().model().notice(), "Couldn't load model");
  EXPECT_TRUE(app->overlay().model().visible());
  app->menuWillOpen();
  EXPECT_EQ(app->overlay().model().notice(), std::nullopt);
  EXPECT_FALSE(app->overlay().model().visible());

  // The welcome window no longer promises "Loading model…".
  app->reshowOnboarding();
  app->onboarding()->model().setPage(2);
  EXPECT_THAT(app->onboarding()->card().footnote, HasSubstr("not available yet: no connection"));
  EXPECT_THAT(app->onboarding()->card().footnote, Not(HasSubstr("Loading model")));
  app->onboarding()->close();

  // Try Again by hand, still offline: one more attempt, the same answer; no second attempt while one runs.
  app->retryModelLoad();
  EXPECT_FALSE(menu().retryEnabled);
  app->retryModelLoad();
  start.settle();
  EXPECT_EQ(start.constructions, 2);
  EXPECT_TRUE(menu().modelProblem);
  EXPECT_TRUE(menu().retryEnabled);

  // Reports that the network is still up or still down start nothing; its return does.
  net->report(false);
  start.settle();
  EXPECT_EQ(start.constructions, 2);
  start.networkUp = true;
  net->report(true);
  start.settle();
  EXPECT_EQ(start.constructions, 3);
  EXPECT_THAT(log, Contains("network is back: loading the speech model again"));
  EXPECT_EQ(menu().modelProblem, std::nullopt);
  EXPECT_EQ(app->onboarding(), nullptr);
  net->report(false);
  net->report(true);
  start.settle();
  EXPECT_EQ(start.constructions, 3);
}

// The network's return starts a load that the repository client may still judge offline: it is
// tried again after 2, 4 and 8 s while the network stays up, and then no more until the network
// changes again. A network that goes, or Try Again by hand, ends the waiting tries.
TEST_F(AppControllerTest, ALoadTheNetworksReturnStartedIsTriedAgainSpacedOutAndBounded) {
  struct Case {
    const char* name;
    int staleOfflineViews;
    int constructions;  // by the end, counting the start's and the return's
    bool loaded;
  };
  const Case cases[] = {
      {"the first further try loads", 1, 3, true},
      {"the last further try loads", 3, 5, true},
      {"every try fails: three further tries, then none", 100, 5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kestrum::ManualMainQueue caseQueue;
    std::vector<std::string> caseLog;
    settings.setValue(UserSettings::hasOnboardedKey, true);
    OfflineFirstStart start(caseQueue);
    auto watch = std::make_unique<FakeNetworkWatch>();
    FakeNetworkWatch* net = watch.get();
    AppController::Dependencies d;
    d.mainQueue = &caseQueue;
    d.settings = &settings;
    d.archive = &archive;
    d.makeDictation = start.factory(caseLog);
    d.network = std::move(watch);
    d.isTrusted = [] { return true; };
    d.log = [&caseLog](const std::string& line) { caseLog.push_back(line); };
    d.systemLog = [](const std::string&) {};
    AppController controller(std::move(d));
    controller.launch();
    net->report(false);
    start.settle();
    ASSERT_EQ(start.constructions, 1);

    start.networkUp = true;
    start.staleOfflineViews = c.staleOfflineViews;
    net->report(true);
    start.settle();
    ASSERT_EQ(start.constructions, 2);
    EXPECT_THAT(caseLog, Contains("the speech model is still unavailable with the network up: trying again in 2 s"));
    for (auto wait : AppController::networkRetryDelays) {
      const int before = start.constructions;
      caseQueue.advance(wait - milliseconds(1));
      start.settle();
      EXPECT_EQ(start.constructions, before) << "tried again too early";
      caseQueue.advance(milliseconds(1));
      start.settle();
      if (start.constructions == c.constructions) break;
      EXPECT_EQ(start.constructions, before + 1);
    }
    caseQueue.advance(milliseconds(60000));
    start.settle();
    EXPECT_EQ(start.constructions, c.constructions);
    EXPECT_EQ(controller.menu().get().modelProblem.has_value(), !c.loaded);
    EXPECT_EQ(controller.menu().get().retryEnabled, !c.loaded);
  }
}

TEST_F(AppControllerTest, NetworkRetriesEndWhenTheNetworkGoesOrTheUserTriesByHand) {
  settings.setValue(UserSettings::hasOnboardedKey, true);
  OfflineFirstStart start(queue);
  makeDictation = start.factory(log);
  FakeNetworkWatch* net = launchOffline();
  start.settle();
  start.networkUp = true;
  start.staleOfflineViews = 100;
  net->report(true);
  start.settle();
  ASSERT_EQ(start.constructions, 2);

  // The network goes while a try waits: none comes.
  start.networkUp = false;
  net->report(false);
  queue.advance(milliseconds(60000));
  start.settle();
  EXPECT_EQ(start.constructions, 2);

  // It comes back; Try Again by hand while a try waits replaces the waiting one.
  start.networkUp = true;
  net->report(true);
  start.settle();
  ASSERT_EQ(start.constructions, 3);
  app->retryModelLoad();
  start.settle();
  EXPECT_EQ(start.constructions, 4);
  queue.advance(milliseconds(60000));
  start.settle();
  EXPECT_EQ(start.constructions, 4) << "a failed try by hand is not repeated by itself";

  // The network's next return loads it.
  start.staleOfflineViews = 0;
  net->report(false);
  net->report(true);
  start.settle();
  EXPECT_EQ(start.constructions, 5);
  EXPECT_EQ(menu().modelProblem, std::nullopt);
}

// Under HF_HUB_OFFLINE neither Try Again nor the network's return loads again: the menu says
// offline mode is on instead.
TEST_F(AppControllerTest, OfflineModeOffersNoTryAndTheNetworksReturnStartsNone) {
  settings.setValue(UserSettings::hasOnboardedKey, true);
  FakeNetworkWatch* net = launchOffline();
  ASSERT_THAT(dictation, ElementsAre("prewarm"));
  pipeline.onModelLoad("HF_HUB_OFFLINE is set: No local copy of model \"base.en\" of openai/whisper-base.en in /c");
  EXPECT_TRUE(menu().modelProblem);
  EXPECT_TRUE(menu().offlineMode);
  EXPECT_FALSE(menu().retryEnabled);
  app->retryModelLoad();
  net->report(true);
  queue.runUntilIdle();
  EXPECT_THAT(dictation, ElementsAre("prewarm"));

  pipeline.onModelLoad(std::nullopt);
  EXPECT_FALSE(menu().offlineMode);
}

// A second launch reopens the running copy: the welcome window while onboarding is not done (shown
// again, or brought forward), else an open archive window; otherwise nothing shows.
TEST_F(AppControllerTest, ReopenShowsTheWelcomeWindowOrBringsWindowsForward) {
  app = make();
  app->launch();  // first run: the welcome window
  ASSERT_EQ(onboardingWindows.made, 1);
  const int forward = onboardingWindows.broughtToFront;
  EXPECT_EQ(app->reopen(), "already running: brought its welcome window forward");
  EXPECT_EQ(onboardingWindows.made, 1);
  EXPECT_EQ(onboardingWindows.broughtToFront, forward + 1);
  app->onboarding()->close();  // completed
  queue.advance(std::chrono::seconds(5));  // past the blinking that completing starts
  // No window open: the pill says so for 1.4 s and the tray icon blinks.
  EXPECT_EQ(app->reopen(), "already running: its pill says so, and its menu is on the blinking tray icon");
  EXPECT_EQ(onboardingWindows.made, 1);
  EXPECT_EQ(app->overlay().model().notice(), "Parlet is already running");
  EXPECT_TRUE(app->overlay().model().visible());
  EXPECT_EQ(pillContent(app->overlay().model()).icon, PillIcon::info);
  queue.advance(std::chrono::milliseconds(320));
  EXPECT_EQ(menu().iconAlpha, 0.25) << "the tray icon blinks";
  queue.advance(std::chrono::seconds(3));
  EXPECT_EQ(app->overlay().model().notice(), std::nullopt);
  EXPECT_FALSE(app->overlay().model().visible());
  EXPECT_EQ(menu().iconAlpha, 1.0);
  // A notice the user must read first (why the model is unavailable) is not replaced.
  pipeline.onNotice("Couldn't load model");
  pipeline.onModelLoad("Download failed: Could not resolve host: huggingface.co");
  app->reopen();
  EXPECT_EQ(app->overlay().model().notice(), "Couldn't load model");
  app->menuWillOpen();
  app->showArchive();
  const int archiveForward = archiveWindows.broughtToFront;
  EXPECT_EQ(app->reopen(), "already running: brought its archive window forward");
  EXPECT_EQ(archiveWindows.made, 1);
  EXPECT_EQ(archiveWindows.broughtToFront, archiveForward + 1);

  // Onboarding not done (its window dismissed) and no welcome window: it shows again.
  settings.setValue(UserSettings::hasOnboardedKey, false);
  EXPECT_EQ(app->reopen(), "already running: showed its welcome window");
  EXPECT_EQ(onboardingWindows.made, 2);
}

TEST(PlainModelProblemTest, ErrorsBecomePlainWords) {
  const std::pair<const char*, const char*> cases[] = {
      {"Download failed: Could not resolve host: huggingface.co",
       "no connection to the model repository, and the speech model has not been downloaded yet."},
      {"Network error: Connection refused", "no connection to the model repository, and the speech model has not been downloaded yet."},
      {"No local copy of model \"base.en\" of openai/whisper-base.en in /c (offline)",
       "no connection to the model repository, and the speech model has not been downloaded yet."},
      {"HF_HUB_OFFLINE is set and no local copy of model \"base.en\" is cached",
       "offline mode is on (HF_HUB_OFFLINE), and the speech model has not been downloaded yet."},
      {"HTTP error with status code: 503", "the model repository refused the download."},
      {"Weights of TextDecoder are malformed\nat byte 12",
       "the speech model could not be loaded (Weights of TextDecoder are malformed)."},
  };
  for (const auto& [error, plain] : cases) EXPECT_EQ(plainModelProblem(error), plain) << error;
}

TEST_F(AppControllerTest, NormalStartInstallsTheKeyAndLoadsTheModel) {
  settings.setValue(UserSettings::hasOnboardedKey, true);
  app = make();
  app->launch();
  EXPECT_EQ(log.front(), "applicationDidFinishLaunching AXTrusted=true HasOnboarded=true");
  EXPECT_THAT(log, Contains("installHotkey key=Right Alt AXTrusted=true"));
  EXPECT_THAT(dictation, ElementsAre("prewarm"));
  EXPECT_EQ(menu().header, "Parlet 0.1.0");
  EXPECT_EQ(menu().icon, StatusIcon::idle);
  EXPECT_TRUE(menu().grantedVisible);
  EXPECT_TRUE(menu().hotkeyVisible);
  EXPECT_FALSE(menu().grantVisible);
  EXPECT_EQ(menu().tooltip, "Parlet \u2014 hold Right Alt to dictate");
  EXPECT_EQ(menu().checkedHotkey, 0);
  EXPECT_EQ(onboardingWindows.made, 0);

  key(true);
  key(false, 58);  // another key: ignored
  queue.advance(milliseconds(700));
  key(false);
  EXPECT_THAT(dictation, ElementsAre("prewarm", "start", "stop"));
  key(true);  // with another key: a chord, whose press is cancelled
  otherKey();
  key(false);
  queue.advance(milliseconds(700));
  EXPECT_THAT(dictation, ElementsAre("prewarm", "start", "stop", "start", "cancel"));
}

TEST_F(AppControllerTest, PipelineReportsDriveTheIconAndThePill) {
  settings.setValue(UserSettings::hasOnboardedKey, true);
  app = make();
  app->launch();
  const std::pair<State, StatusIcon> states[] = {{State::preparing, StatusIcon::preparing},
                                                 {State::recording, StatusIcon::recording},
                                                 {State::processing, StatusIcon::processing},
                                                 {State::idle, StatusIcon::idle}};
  for (auto [state, icon] : states) {
    pipeline.onStateChange(state);
    EXPECT_EQ(menu().icon, icon);
    EXPECT_EQ(app->overlay().model().state(), state);
  }
  // Levels are smoothed: new × 0.45 + old × 0.55.
  pipeline.onLevel(1.0f);
  pipeline.onLevel(1.0f);
  EXPECT_FLOAT_EQ(app->overlay().model().level(), 0.45f + 0.45f * 0.55f);
  pipeline.onNotice("Mic unavailable");
  EXPECT_EQ(app->overlay().model().notice(), "Mic unavailable");
  // A double tap locks: the pill hears of it.
  key(true);
  key(false);
  key(true);
  EXPECT_TRUE(app->overlay().model().locked());
}

TEST_F(AppControllerTest, MissingPermissionWarnsAndPollsUntilGranted) {
  settings.setValue(UserSettings::hasOnboardedKey, true);
  trusted = false;
  app = make();
  app->launch();
  EXPECT_EQ(prompts, 1);
  EXPECT_EQ(menu().icon, StatusIcon::needsAccessibility);
  EXPECT_EQ(menu().tooltip, "Parlet needs Accessibility access");
  EXPECT_TRUE(menu().grantVisible);
  EXPECT_FALSE(menu().hotkeyVisible);
  EXPECT_FALSE(menu().grantedVisible);
  EXPECT_FALSE(app->hotkeyInstalled());
  queue.advance(milliseconds(3000));
  EXPECT_TRUE(dictation.empty());

  trusted = true;
  queue.advance(milliseconds(999));
  EXPECT_FALSE(app->hotkeyInstalled());
  queue.advance(milliseconds(1));
  EXPECT_TRUE(app->hotkeyInstalled());
  EXPECT_THAT(dictation, ElementsAre("prewarm"));
  EXPECT_EQ(menu().icon, StatusIcon::idle);
  EXPECT_EQ(menu().tooltip, "Parlet \u2014 hold Right Alt to dictate");
  EXPECT_FALSE(menu().grantVisible);
  queue.advance(milliseconds(5000));  // polling has stopped
  EXPECT_THAT(dictation, ElementsAre("prewarm"));
}

TEST_F(AppControllerTest, FirstRunShowsWelcomeAndCompletingItInstallsLoadsAndPulses) {
  app = make();
  app->launch();
  EXPECT_EQ(onboardingWindows.made, 1);
  EXPECT_FALSE(app->hotkeyInstalled());
  // The download starts with the welcome; the key waits for the try-it page.
  EXPECT_THAT(dictation, ElementsAre("prewarm"));
  app->setModelDownload(0.25, 150'000'000);
  EXPECT_EQ(app->onboarding()->model().modelDownload(), 0.25);
  EXPECT_EQ(app->onboarding()->model().modelDownloadBytes(), 150'000'000);
  EXPECT_THAT(systemLog, Contains("Parlet: showOnboarding()"));

  settings.setValue(UserSettings::triggerKeyCodeKey, 55);
  auto onboarding = app->onboarding();
  onboarding->next();
  onboarding->next();  // the try-it page arms the key
  EXPECT_TRUE(app->hotkeyInstalled());
  EXPECT_EQ(onboarding->model().hotkeyTitle(), "Left Super");
  onboarding->armHotkey();  // the editor's arm call finds the key installed
  EXPECT_THAT(dictation, ElementsAre("prewarm", "prewarm", "prewarm"));
  EXPECT_TRUE(onboarding->card().progress.has_value()) << "the try-it page shows the download";
  app->setModelDownload(std::nullopt);
  EXPECT_FALSE(onboarding->card().progress.has_value());
  onboarding->next();
  onboarding->next();  // "Got it"
  EXPECT_TRUE(settings.boolean(UserSettings::hasOnboardedKey));
  EXPECT_EQ(app->onboarding(), nullptr);
  EXPECT_EQ(dictation.size(), 4u);

  // The icon blinks dim, bright, … four times in 8 ticks of 0.32 s and ends opaque.
  std::vector<double> alphas;
  for (int i = 0; i < 10; ++i) {
    queue.advance(milliseconds(320));
    alphas.push_back(menu().iconAlpha);
  }
  EXPECT_THAT(alphas, ElementsAre(0.25, 1, 0.25, 1, 0.25, 1, 0.25, 1, 1, 1));
}

// On a layout where Right Alt is AltGr, the tooltip and the welcome call it so; the menu's key
// choice stays the key's own.
TEST_F(AppControllerTest, TheKeyIsCalledAsTheLayoutLabelsIt) {
  keyName = [](const HotkeyManager::Key& key) { return key.keyCode == 61 ? std::string("AltGr") : key.title; };
  app = make();
  app->launch();
  auto onboarding = app->onboarding();
  onboarding->next();
  onboarding->next();  // the try-it page
  EXPECT_EQ(onboarding->model().hotkeyTitle(), "AltGr");
  EXPECT_EQ(onboarding->card().body, "Click the box, hold **AltGr**, and speak.");
  EXPECT_EQ(menu().tooltip, "Parlet \u2014 hold AltGr to dictate");
  app->selectHotkey(6);  // Right Shift
  EXPECT_EQ(menu().tooltip, "Parlet \u2014 hold Right Shift to dictate");
}

TEST_F(AppControllerTest, DismissingWelcomeLeavesOnboardingUnsetAndReshowMakesANewWindow) {
  app = make();
  app->launch();
  app->reshowOnboarding();  // shown: only brought forward
  EXPECT_EQ(onboardingWindows.made, 1);
  app->onboarding()->windowWillClose();
  EXPECT_FALSE(settings.boolean(UserSettings::hasOnboardedKey));
  EXPECT_EQ(app->onboarding(), nullptr);
  EXPECT_TRUE(app->hotkeyInstalled());  // trusted: the key is installed on dismissal
  app->reshowOnboarding();
  EXPECT_EQ(onboardingWindows.made, 2);
  EXPECT_EQ(app->onboarding()->model().page(), 0);
}

TEST_F(AppControllerTest, StoredKeyCodesOutsideThePresetsFallBackToRightAlt) {
  struct Case {
    std::optional<platform::json::Value> stored;
    std::string title;
  };
  const Case cases[] = {{std::nullopt, "Right Alt"}, {platform::json::Value(57), "Right Alt"},
                        {platform::json::Value(63), "Right Alt"}, {platform::json::Value("54"), "Right Alt"},
                        {platform::json::Value(54), "Right Super"}, {platform::json::Value(56), "Left Shift"}};
  for (const auto& c : cases) {
    InMemorySettings fresh;
    if (c.stored) fresh.setValue(UserSettings::triggerKeyCodeKey, *c.stored);
    settings = fresh;
    app = make();
    EXPECT_EQ(app->currentKey().title, c.title);
  }
}

TEST_F(AppControllerTest, ChoosingAKeyStoresItMovesTheCheckAndEndsAHold) {
  settings.setValue(UserSettings::hasOnboardedKey, true);
  app = make();
  app->launch();
  key(true);
  app->selectHotkey(7);
  EXPECT_EQ(settings.integer(UserSettings::triggerKeyCodeKey), 56);
  EXPECT_EQ(menu().checkedHotkey, 7);
  EXPECT_EQ(menu().tooltip, "Parlet \u2014 hold Left Shift to dictate");
  EXPECT_THAT(dictation, ElementsAre("prewarm", "start", "stop"));
  app->selectHotkey(8);  // no such row
  EXPECT_EQ(menu().checkedHotkey, 7);
}

TEST_F(AppControllerTest, CopyLastTranscriptNeedsAnEntryAndFlashesANotice) {
  settings.setValue(UserSettings::hasOnboardedKey, true);
  app = make();
  app->launch();
  pasteboard->setString("user's own");
  app->menuWillOpen();
  EXPECT_FALSE(menu().copyLastEnabled);
  app->copyLastTranscript();
  EXPECT_EQ(pasteboard->string(), "user's own");
  EXPECT_FALSE(app->overlay().model().visible());

  archive.add("older");
  archive.add("newest");
  app->menuWillOpen();
  EXPECT_TRUE(menu().copyLastEnabled);
  app->copyLastTranscript();
  EXPECT_EQ(pasteboard->string(), "newest");
  EXPECT_EQ(pasteboard->items().size(), 1u);
  EXPECT_EQ(app->overlay().model().notice(), "Copied last transcript");
}

TEST_F(AppControllerTest, LaunchAtLoginToggleShowsTheRealStatusAndLogsFailures) {
  settings.setValue(UserSettings::hasOnboardedKey, true);
  loginEnabled = true;
  app = make();
  app->launch();
  EXPECT_TRUE(menu().launchAtLoginChecked);
  app->toggleLaunchAtLogin();
  EXPECT_FALSE(menu().launchAtLoginChecked);
  loginFails = true;
  app->toggleLaunchAtLogin();
  EXPECT_FALSE(menu().launchAtLoginChecked);
  ASSERT_FALSE(systemLog.empty());
  EXPECT_EQ(systemLog.back(), "Parlet: launch at login toggle failed: no autostart folder");
}

TEST_F(AppControllerTest, ArchiveWindowIsMadeOnceAndForgottenWhenClosed) {
  settings.setValue(UserSettings::hasOnboardedKey, true);
  app = make();
  app->launch();
  app->showArchive();
  app->showArchive();
  EXPECT_EQ(archiveWindows.made, 1);
  EXPECT_EQ(archiveWindows.broughtToFront, 2);
  app->archiveWindow()->windowWillClose();
  EXPECT_EQ(app->archiveWindow(), nullptr);
  app->showArchive();
  EXPECT_EQ(archiveWindows.made, 2);
}

TEST_F(AppControllerTest, ModelDownloadShowsInTheMenuUntilItEnds) {
  settings.setValue(UserSettings::hasOnboardedKey, true);
  app = make();
  app->launch();
  app->setModelDownload(0.4267);
  ASSERT_TRUE(menu().modelDownload);
  EXPECT_EQ(modelDownloadTitle(*menu().modelDownload), "Downloading speech model\u2026 42%");
  EXPECT_EQ(modelDownloadTitle(1.5), "Downloading speech model\u2026 100%");
  // With the size known, the megabytes done of the total, rounded down while under way.
  app->setModelDownload(0.4267, 145'600'000);
  EXPECT_EQ(modelDownloadTitle(*menu().modelDownload, menu().modelDownloadBytes),
            "Downloading speech model\u2026 42% (62.1 of 145.6 MB)");
  EXPECT_EQ(modelDownloadTitle(0.9999, 145'600'000), "Downloading speech model\u2026 99% (145.5 of 145.6 MB)");
  EXPECT_EQ(modelDownloadTitle(1.0, 145'600'000), "Downloading speech model\u2026 100% (145.6 of 145.6 MB)");
  app->setModelDownload(std::nullopt);
  EXPECT_FALSE(menu().modelDownload);
  EXPECT_EQ(menu().modelDownloadBytes, 0);
}

}  // namespace
}  // namespace parlet
