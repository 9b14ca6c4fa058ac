// The application shell: owns the trigger key, the dictation, the overlay pill, the welcome and
// archive windows, and the tray menu's state. `launch()` chooses among the three starts (first run:
// welcome window and model load, the trigger key from the welcome's try-it page on; no
// permission: warning icon and 1 s polling until granted; normal: trigger key and model load at
// once). The model's download shows in the menu and on the welcome's try-it page. While the speech model cannot be loaded the menu says why and offers
// "Try Again" (under HF_HUB_OFFLINE it says that offline mode is on instead), the pill's notice
// stays until the menu is opened, and the load is tried again when the network comes back; a load the network's return started that still finds no connection is
// tried again a few times, spaced out (networkRetryDelays), while the network stays up. Menu
// actions are plain member functions; the toolkit layer draws `menu()` and the overlay's model and
// calls back. Errors of the services it calls (launch at login) become log lines; nothing throws
// out of it. Main thread only.
//   AppController app(dependencies);  app.launch();
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KestrumCore/MainQueue.h"
#include "Parlet/core/HotkeyManager.h"
#include "Parlet/core/ModelProblem.h"
#include "Parlet/core/ParletLog.h"
#include "Parlet/core/Paster.h"
#include "Parlet/core/Pipeline.h"
#include "Parlet/core/TranscriptArchive.h"
#include "Parlet/core/UserSettings.h"
#include "Parlet/desktop/ArchiveWindowController.h"
#include "Parlet/desktop/NetworkWatch.h"
#include "Parlet/desktop/OnboardingController.h"
#include "Parlet/desktop/OverlayController.h"
#include "Parlet/desktop/StatusMenuModel.h"

namespace parlet {

// The dictation as the shell drives it; the application's is a Pipeline.
class Dictation {
 public:
  virtual ~Dictation() = default;
  virtual void prewarm() = 0;
  virtual void start() = 0;
  virtual void stop() = 0;
  virtual void cancel() = 0;
};

class AppController {
 public:
  struct Dependencies {
    kestrum::MainQueue* mainQueue = nullptr;  // required; must outlive the controller
    UserSettings* settings = nullptr;         // required
    TranscriptArchive* archive = nullptr;     // required
    std::shared_ptr<Pasteboard> pasteboard;   // "Copy Last Transcript" and the archive's copy
    KeyEventMonitoring* keyMonitors = nullptr;  // none: the trigger key is not watched
    std::function<std::unique_ptr<Dictation>(Pipeline::Callbacks)> makeDictation;  // required
    std::function<bool()> isTrusted;               // default: false
    std::function<std::string()> untrustedReason;  // why not, and what to do
    std::function<void()> promptForTrust;          // may show the system's own request
    std::function<void()> openAccessibilitySettings;
    std::function<bool()> launchAtLoginEnabled;    // default: false
    std::function<void(bool)> setLaunchAtLogin;    // throws when the change fails
    std::function<void()> placeOverlay;
    std::function<std::unique_ptr<WindowHandle>(OnboardingController&)> makeOnboardingWindow;
    ArchiveWindowController::MakeWindow makeArchiveWindow;
    std::function<void()> quit;
    // The trigger key's name as the current keyboard layout labels it ("AltGr" for Right Alt on
    // a German layout), for the tooltip and the welcome; default: the key's title.
    std::function<std::string(const HotkeyManager::Key&)> keyName;
    std::string version;                                // shown in the menu's header
    LogSink log;                                        // default: ParletLog
    std::function<void(const std::string&)> systemLog;  // default: the system log
    std::unique_ptr<NetworkWatch> network;  // none: a failed model load is retried only by hand
  };

  static constexpr std::chrono::milliseconds permissionPollInterval{1000};
  static constexpr std::chrono::milliseconds pulseInterval{320};
  static constexpr int pulseTicks = 8;
  // After a load started by the network's return fails for want of a connection: the waits before
  // each further try; then the load waits for the next change of the network or Try Again.
  static constexpr std::array<std::chrono::milliseconds, 3> networkRetryDelays{
      std::chrono::milliseconds(2000), std::chrono::milliseconds(4000), std::chrono::milliseconds(8000)};

  // Builds the overlay. Throws std::invalid_argument when a required dependency is missing.
  explicit AppController(Dependencies dependencies);
  ~AppController();
  AppController(const AppController&) = delete;
  AppController& operator=(const AppController&) = delete;

  void launch();

  // Menu actions.
  void selectHotkey(int row);
  void toggleLaunchAtLogin();
  void openAccessibilitySettings();
  void reshowOnboarding();
  void showArchive();
  void copyLastTranscript();
  void menuWillOpen();
  void quit();
  // "Try Again" while the speech model is unavailable: loads it again.
  void retryModelLoad();

  // The application opened again while it runs (a second launch): the welcome window is brought
  // forward if shown, else shown while onboarding is not done; else an open archive window is
  // brought forward; else the pill flashes alreadyRunningNotice and the tray icon blinks. Returns
  // one line for the launcher: "already running: …".
  std::string reopen();
  static constexpr const char* alreadyRunningNotice = "Parlet is already running";

  // The model download of the first start: a fraction 0…1 of `totalBytes` (0: unknown) while it
  // runs, none when it ended.
  void setModelDownload(std::optional<double> fraction, std::int64_t totalBytes = 0);

  void updateStatus(Pipeline::State state);
  void installHotkey();
  void requestAccessibility();
  void showOnboarding();
  void pulseMenuBarIcon();
  const HotkeyManager::Key& currentKey() const;

  StatusMenuModel& menu() { return menu_; }
  OverlayController& overlay() { return *overlay_; }
  const std::shared_ptr<OnboardingController>& onboarding() const { return onboarding_; }
  ArchiveWindowController* archiveWindow() const { return archiveWindow_.get(); }
  bool hotkeyInstalled() const { return hotkey_ != nullptr; }

 private:
  bool trusted() const;
  std::string currentKeyName() const;
  void applyTrustVisibility();
  void refreshHotkeyMenu();
  void startPermissionPolling();
  void afterOnboarding();
  void loadModel();
  void modelLoaded(const std::optional<std::string>& failure);
  void networkChanged(bool online);
  void retryAfterNetworkFailure();
  void cancelNetworkRetry();
  void log(const std::string& line) const;
  void systemLog(const std::string& line) const;

  Dependencies dependencies_;
  StatusMenuModel menu_;
  std::unique_ptr<OverlayController> overlay_;
  std::unique_ptr<Dictation> dictation_;
  std::unique_ptr<HotkeyManager> hotkey_;
  std::shared_ptr<OnboardingController> onboarding_;
  std::unique_ptr<ArchiveWindowController> archiveWindow_;
  std::optional<kestrum::MainQueue::TimerId> pollTimer_;
  std::optional<kestrum::MainQueue::TimerId> pulseTimer_;
  std::optional<bool> online_;  // the last network report; none before the first
  bool networkLoad_ = false;     // the load under way or failed last was started by the network's return
  std::size_t networkRetries_ = 0;  // further tries since the network came back
  std::optional<kestrum::MainQueue::TimerId> networkRetryTimer_;
  std::shared_ptr<AppController*> self_;  // weak handle for callbacks and timers
};

}  // namespace parlet
