#include "Parlet/desktop/AppController.h"

#include <cmath>
#include <exception>
#include <stdexcept>

#include "platform/System/NumberText.h"
#include "platform/System/SystemLog.h"

namespace parlet {
namespace {

const char* boolText(bool value) { return value ? "true" : "false"; }

StatusIcon iconFor(Pipeline::State state) {
  switch (state) {
    case Pipeline::State::idle: return StatusIcon::idle;
    case Pipeline::State::preparing: return StatusIcon::preparing;
    case Pipeline::State::recording: return StatusIcon::recording;
    case Pipeline::State::processing: return StatusIcon::processing;
  }
  return StatusIcon::idle;
}

}  // namespace

std::string modelDownloadTitle(double fraction, std::int64_t totalBytes) {
  const double clamped = std::min(std::max(fraction, 0.0), 1.0);
  const int percent = static_cast<int>(std::floor(clamped * 100));
  std::string title = "Downloading speech model\u2026 " + std::to_string(percent) + "%";
  if (totalBytes > 0) {
    // Tenths of a megabyte (10^6 bytes), the done part rounded down so it never shows the total early.
    auto megabytes = [](double bytes, bool down) {
      const double tenths = down ? std::floor(bytes / 1e5) : std::round(bytes / 1e5);
      return platform::system::fixedText(tenths / 10, 1);
    };
    title += " (" + megabytes(clamped * double(totalBytes), true) + " of " + megabytes(double(totalBytes), false) + " MB)";
  }
  return title;
}

AppController::AppController(Dependencies dependencies)
    : dependencies_(std::move(dependencies)), self_(std::make_shared<AppController*>(this)) {
  if (!dependencies_.mainQueue || !dependencies_.settings || !dependencies_.archive || !dependencies_.makeDictation)
    throw std::invalid_argument("AppController needs a main queue, settings, an archive and a dictation");
  if (!dependencies_.log) dependencies_.log = ParletLog::sink();
  if (!dependencies_.systemLog) {
    dependencies_.systemLog = [](const std::string& line) {
      static const platform::system::SystemLog systemLog("parlet", "Parlet");
      systemLog.write(platform::system::LogType::error, line);
    };
  }
}

AppController::~AppController() {
  dependencies_.network.reset();  // no report after this
  if (pollTimer_) dependencies_.mainQueue->cancel(*pollTimer_);
  if (pulseTimer_) dependencies_.mainQueue->cancel(*pulseTimer_);
  cancelNetworkRetry();
  self_.reset();
  hotkey_.reset();
  dictation_.reset();
}

void AppController::log(const std::string& line) const { dependencies_.log(line); }
void AppController::systemLog(const std::string& line) const { dependencies_.systemLog(line); }

bool AppController::trusted() const { return dependencies_.isTrusted && dependencies_.isTrusted(); }

const HotkeyManager::Key& AppController::currentKey() const { return parlet::currentKey(*dependencies_.settings); }

std::string AppController::currentKeyName() const {
  const HotkeyManager::Key& key = currentKey();
  return dependencies_.keyName ? dependencies_.keyName(key) : key.title;
}

void AppController::launch() {
  const bool onboarded = dependencies_.settings->boolean(UserSettings::hasOnboardedKey);
  log(std::string("applicationDidFinishLaunching AXTrusted=") + boolText(trusted()) + " HasOnboarded=" +
      boolText(onboarded));

  // The tray.
  menu_.update([&](StatusMenu& menu) { menu.header = "Parlet " + dependencies_.version; });
  updateStatus(Pipeline::State::idle);
  applyTrustVisibility();
  refreshHotkeyMenu();
  const bool loginEnabled = dependencies_.launchAtLoginEnabled && dependencies_.launchAtLoginEnabled();
  menu_.update([&](StatusMenu& menu) { menu.launchAtLoginChecked = loginEnabled; });

  overlay_ = std::make_unique<OverlayController>(
      OverlayController::Dependencies{dependencies_.mainQueue, dependencies_.placeOverlay});

  std::weak_ptr<AppController*> weak = self_;
  dictation_ = dependencies_.makeDictation(Pipeline::Callbacks{
      [weak](Pipeline::State state) {
        if (auto self = weak.lock()) {
          (*self)->updateStatus(state);
          (*self)->overlay_->setState(state);
        }
      },
      [weak](float level) {
        if (auto self = weak.lock()) {
          OverlayModel& model = (*self)->overlay_->model();
          model.setLevel(level * 0.45f + model.level() * 0.55f);
        }
      },
      [weak](const std::string& text) {
        if (auto self = weak.lock()) (*self)->overlay_->flashNotice(text);
      },
      [weak](const std::optional<std::string>& failure) {
        if (auto self = weak.lock()) (*self)->modelLoaded(failure);
      }});
  if (dependencies_.network) {
    dependencies_.network->start([weak](bool online) {
      if (auto self = weak.lock()) (*self)->networkChanged(online);
    });
  }

  if (!onboarded) {
    showOnboarding();
    // The download needs neither the permission nor the trigger key: it runs while the welcome
    // guides the user, whose key becomes live on the try-it page as before.
    loadModel();
    return;
  }
  if (!trusted()) {
    requestAccessibility();
    return;
  }
  installHotkey();
  loadModel();
}

void AppController::loadModel() {
  if (!dictation_) return;
  menu_.update([](StatusMenu& menu) { menu.retryEnabled = false; });
  dictation_->prewarm();
}

void AppController::modelLoaded(const std::optional<std::string>& failure) {
  std::optional<std::string> problem;
  if (failure) problem = plainModelProblem(*failure);
  // Under offline mode no try can help: the menu says offline mode is on instead of offering one.
  const bool offlineMode = failure && isOfflineModeProblem(*failure);
  menu_.update([&](StatusMenu& menu) {
    menu.modelProblem = problem;
    menu.retryEnabled = problem.has_value() && !offlineMode;
    menu.offlineMode = offlineMode;
  });
  if (failure && networkLoad_ && online_.value_or(false) && isConnectionProblem(*failure))
    retryAfterNetworkFailure();
  else
    networkLoad_ = false;
  if (onboarding_) onboarding_->model().setModelProblem(problem);
  // The pill's "Couldn't load model" stays until the user has seen the reason in the menu.
  if (problem) overlay_->holdNotice();
  else overlay_->releaseNotice();
}

void AppController::networkChanged(bool online) {
  const bool cameBack = online && online_ && !*online_;
  online_ = online;
  if (!online) cancelNetworkRetry();
  if (!cameBack || !menu_.get().modelProblem || !menu_.get().retryEnabled) return;
  log("network is back: loading the speech model again");
  cancelNetworkRetry();
  networkLoad_ = true;
  loadModel();
}

void AppController::retryAfterNetworkFailure() {
  if (networkRetries_ >= networkRetryDelays.size()) {
    log("the speech model is still unavailable with the network up: waiting for the next change of the network");
    cancelNetworkRetry();
    return;
  }
  const auto delay = networkRetryDelays[networkRetries_++];
  log("the speech model is still unavailable with the network up: trying again in " +
      std::to_string(delay.count() / 1000) + " s");
  std::weak_ptr<AppController*> weak = self_;
  networkRetryTimer_ = dependencies_.mainQueue->postAfter(delay, [weak] {
    auto self = weak.lock();
    if (!self) return;
    AppController& app = **self;
    app.networkRetryTimer_.reset();
    if (!app.menu_.get().modelProblem || !app.menu_.get().retryEnabled) return;
    app.log("loading the speech model again");
    app.loadModel();
  });
}

// Ends the tries the network's return started (the network went, or the user took over).
void AppController::cancelNetworkRetry() {
  if (networkRetryTimer_) dependencies_.mainQueue->cancel(*networkRetryTimer_);
  networkRetryTimer_.reset();
  networkLoad_ = false;
  networkRetries_ = 0;
}

void AppController::retryModelLoad() {
  if (!menu_.get().modelProblem || !menu_.get().retryEnabled) return;
  cancelNetworkRetry();
  overlay_->releaseNotice();
  loadModel();
}

void AppController::updateStatus(Pipeline::State state) {
  menu_.update([&](StatusMenu& menu) { menu.icon = iconFor(state); });
}

void AppController::applyTrustVisibility() {
  const bool granted = trusted();
  menu_.update([&](StatusMenu& menu) {
    menu.grantedVisible = granted;
    menu.hotkeyVisible = granted;
    menu.grantVisible = !granted;
  });
}

void AppController::installHotkey() {
  const HotkeyManager::Key& key = currentKey();
  log("installHotkey key=" + key.title + " AXTrusted=" + boolText(trusted()));
  applyTrustVisibility();
  std::weak_ptr<AppController*> weak = self_;
  hotkey_.reset();
  hotkey_ = std::make_unique<HotkeyManager>(
      key,
      HotkeyManager::Callbacks{
          [weak] {
            if (auto self = weak.lock(); self && (*self)->dictation_) (*self)->dictation_->start();
          },
          [weak] {
            if (auto self = weak.lock(); self && (*self)->dictation_) (*self)->dictation_->stop();
          },
          [weak](bool locked) {
            if (auto self = weak.lock(); self && (*self)->overlay_) (*self)->overlay_->model().setLocked(locked);
          },
          [weak] {
            if (auto self = weak.lock(); self && (*self)->dictation_) (*self)->dictation_->cancel();
          }},
      HotkeyManager::Dependencies{dependencies_.mainQueue, dependencies_.keyMonitors, dependencies_.log});
  if (dependencies_.keyMonitors) hotkey_->start();
  updateStatus(Pipeline::State::idle);
  refreshHotkeyMenu();
}

void AppController::refreshHotkeyMenu() {
  const HotkeyManager::Key& key = currentKey();
  const std::string keyName = currentKeyName();
  int row = 0;
  for (int i = 0; i < static_cast<int>(HotkeyManager::presets.size()); ++i)
    if (HotkeyManager::presets[i] == key) row = i;
  menu_.update([&](StatusMenu& menu) {
    menu.checkedHotkey = row;
    menu.tooltip = "Parlet \u2014 hold " + keyName + " to dictate";
  });
}

void AppController::selectHotkey(int row) {
  if (row < 0 || row >= static_cast<int>(HotkeyManager::presets.size())) return;
  const HotkeyManager::Key& key = HotkeyManager::presets[row];
  dependencies_.settings->setValue(UserSettings::triggerKeyCodeKey, platform::json::Value(int(key.keyCode)));
  if (hotkey_) hotkey_->setKey(key);
  refreshHotkeyMenu();
}

void AppController::requestAccessibility() {
  if (dependencies_.promptForTrust) dependencies_.promptForTrust();
  applyTrustVisibility();
  startPermissionPolling();
  menu_.update([](StatusMenu& menu) {
    menu.icon = StatusIcon::needsAccessibility;
    menu.tooltip = "Parlet needs Accessibility access";
  });
}

void AppController::startPermissionPolling() {
  if (pollTimer_) dependencies_.mainQueue->cancel(*pollTimer_);
  std::weak_ptr<AppController*> weak = self_;
  pollTimer_ = dependencies_.mainQueue->scheduleRepeating(permissionPollInterval, [weak] {
    auto self = weak.lock();
    if (!self || !(*self)->trusted()) return;
    AppController& app = **self;
    if (app.pollTimer_) app.dependencies_.mainQueue->cancel(*app.pollTimer_);
    app.dependencies_.mainQueue->post([weak] {
      auto self = weak.lock();
      if (!self) return;
      AppController& app = **self;
      app.pollTimer_.reset();
      app.installHotkey();
      app.loadModel();
      if (app.onboarding_) app.onboarding_->model().setAccessibilityGranted(true);
    });
  });
}

void AppController::afterOnboarding() {
  if (!trusted()) return;
  if (!hotkey_) installHotkey();
  loadModel();
}

void AppController::showOnboarding() {
  systemLog("Parlet: showOnboarding()");
  std::weak_ptr<AppController*> weak = self_;
  OnboardingController::Callbacks callbacks{
      [weak] {
        if (auto self = weak.lock()) (*self)->requestAccessibility();
      },
      [weak]() -> std::optional<std::string> {
        auto self = weak.lock();
        if (!self) return std::nullopt;
        AppController& app = **self;
        if (!app.hotkey_) app.installHotkey();
        app.loadModel();
        return app.currentKeyName();
      },
      [weak] {
        if (auto self = weak.lock()) (*self)->pulseMenuBarIcon();
      },
      [weak] {
        auto self = weak.lock();
        if (!self) return;
        AppController& app = **self;
        app.dependencies_.settings->setValue(UserSettings::hasOnboardedKey, platform::json::Value(true));
        app.onboarding_.reset();
        app.afterOnboarding();
        app.pulseMenuBarIcon();
      },
      [weak] {
        auto self = weak.lock();
        if (!self) return;
        (*self)->onboarding_.reset();
        (*self)->afterOnboarding();
      }};
  onboarding_ = std::make_shared<OnboardingController>(
      std::move(callbacks), OnboardingController::Dependencies{dependencies_.isTrusted, dependencies_.untrustedReason,
                                                               dependencies_.makeOnboardingWindow,
                                                               dependencies_.systemLog});
  onboarding_->model().setModelProblem(menu_.get().modelProblem);
  onboarding_->model().setModelDownload(menu_.get().modelDownload, menu_.get().modelDownloadBytes);
  onboarding_->show();
}

void AppController::reshowOnboarding() {
  if (onboarding_ && onboarding_->isShown())
    onboarding_->bringToFront();
  else
    showOnboarding();
}

std::string AppController::reopen() {
  if (onboarding_ && onboarding_->isShown()) {
    onboarding_->bringToFront();
    return "already running: brought its welcome window forward";
  }
  if (!dependencies_.settings->boolean(UserSettings::hasOnboardedKey)) {
    showOnboarding();
    return "already running: showed its welcome window";
  }
  if (archiveWindow_) {
    archiveWindow_->show();
    return "already running: brought its archive window forward";
  }
  // No window to bring forward: the pill says so (unless it holds a notice the user must read
  // first) and the tray icon blinks, so a second start never passes unseen.
  if (!overlay_->noticeHeld()) overlay_->flashNotice(alreadyRunningNotice);
  pulseMenuBarIcon();
  return "already running: its pill says so, and its menu is on the blinking tray icon";
}

void AppController::pulseMenuBarIcon() {
  if (pulseTimer_) dependencies_.mainQueue->cancel(*pulseTimer_);
  menu_.update([](StatusMenu& menu) { menu.iconAlpha = 1.0; });
  auto counter = std::make_shared<int>(0);
  std::weak_ptr<AppController*> weak = self_;
  pulseTimer_ = dependencies_.mainQueue->scheduleRepeating(pulseInterval, [weak, counter] {
    auto self = weak.lock();
    if (!self) return;
    AppController& app = **self;
    const int n = (*counter)++;
    app.menu_.update([n](StatusMenu& menu) { menu.iconAlpha = n % 2 == 0 ? 0.25 : 1.0; });
    if (*counter >= pulseTicks) {
      app.menu_.update([](StatusMenu& menu) { menu.iconAlpha = 1.0; });
      if (app.pulseTimer_) app.dependencies_.mainQueue->cancel(*app.pulseTimer_);
      app.pulseTimer_.reset();
    }
  });
}

void AppController::toggleLaunchAtLogin() {
  const bool enabled = dependencies_.launchAtLoginEnabled && dependencies_.launchAtLoginEnabled();
  try {
    if (!dependencies_.setLaunchAtLogin) throw std::runtime_error("launch at login is not available");
    dependencies_.setLaunchAtLogin(!enabled);
  } catch (const std::exception& error) {
    systemLog(std::string("Parlet: launch at login toggle failed: ") + error.what());
  }
  const bool now = dependencies_.launchAtLoginEnabled && dependencies_.launchAtLoginEnabled();
  menu_.update([now](StatusMenu& menu) { menu.launchAtLoginChecked = now; });
}

void AppController::openAccessibilitySettings() {
  if (dependencies_.openAccessibilitySettings) dependencies_.openAccessibilitySettings();
}

void AppController::showArchive() {
  if (!archiveWindow_) {
    std::weak_ptr<AppController*> weak = self_;
    archiveWindow_ = std::make_unique<ArchiveWindowController>(
        ArchiveViewModel::Dependencies{dependencies_.archive, dependencies_.mainQueue, dependencies_.pasteboard},
        dependencies_.makeArchiveWindow, [weak] {
          if (auto self = weak.lock()) (*self)->archiveWindow_.reset();
        });
  }
  archiveWindow_->show();
}

void AppController::copyLastTranscript() {
  const auto& entries = dependencies_.archive->entries();
  if (entries.empty()) return;
  if (dependencies_.pasteboard) {
    dependencies_.pasteboard->clearContents();
    dependencies_.pasteboard->setString(entries.front().text);
  }
  if (overlay_) overlay_->flashNotice("Copied last transcript");
}

void AppController::menuWillOpen() {
  if (overlay_) overlay_->releaseNotice();  // the menu shows why the model is unavailable
  const bool any = !dependencies_.archive->entries().empty();
  menu_.update([any](StatusMenu& menu) { menu.copyLastEnabled = any; });
}

void AppController::quit() {
  if (dependencies_.quit) dependencies_.quit();
}

void AppController::setModelDownload(std::optional<double> fraction, std::int64_t totalBytes) {
  menu_.update([&](StatusMenu& menu) {
    menu.modelDownload = fraction;
    menu.modelDownloadBytes = fraction ? totalBytes : 0;
  });
  if (onboarding_) onboarding_->model().setModelDownload(fraction, totalBytes);
}

}  // namespace parlet
