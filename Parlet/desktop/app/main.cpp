// parlet: push-to-talk dictation in the tray. Builds the dictation core on the desktop backends
// (X11 key watching and paste chord, the Qt clipboard, the Qt event loop as the main queue), the
// shell and its windows, and runs the event loop. Without an X display it says so in one line and
// exits with status 1.
#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "Parlet/core/ParletLog.h"
#include "Parlet/core/Paster.h"
#include "Parlet/core/Pipeline.h"
#include "Parlet/core/Transcriber.h"
#include "Parlet/core/TranscriptArchive.h"
#include "Parlet/core/UserSettings.h"
#include "Parlet/desktop/AppController.h"
#include "Parlet/desktop/ModelDownloadFeed.h"
#include "Parlet/desktop/app/DisplayCheck.h"
#include "Parlet/desktop/app/EngineWiring.h"
#include "Parlet/desktop/widgets/ArchiveWindow.h"
#include "Parlet/desktop/widgets/OverlayWindow.h"
#include "Parlet/desktop/widgets/QtWindowHandle.h"
#include "Parlet/desktop/widgets/TrayMenu.h"
#include "Parlet/desktop/widgets/WelcomeWindow.h"
#include "platform/Desktop/AccessibilityTrust.h"
#include "platform/Desktop/LaunchAtLogin.h"
#include "platform/Desktop/QtMainQueue.h"
#include "platform/Desktop/QtPasteboard.h"
#include "platform/Desktop/X11FocusedApplication.h"
#include "platform/Desktop/X11KeyMonitor.h"
#include "platform/Desktop/X11PasteKeys.h"

namespace {

using namespace parlet;

class PipelineDictation : public Dictation {
 public:
  PipelineDictation(Pipeline::Callbacks callbacks, Pipeline::Dependencies dependencies)
      : pipeline_(std::move(callbacks), std::move(dependencies)) {}
  void prewarm() override { pipeline_.prewarm(); }
  void start() override { pipeline_.start(); }
  void stop() override { pipeline_.stop(); }

 private:
  Pipeline pipeline_;
};

// Paste keys for a display without XTEST: the text stays on the clipboard for the user to paste.
class NoPasteKeys : public PasteKeys {
 public:
  void sendPasteChord() override { ParletLog::write("paste chord unavailable: the display lacks XTEST"); }
};

template <class T>
std::unique_ptr<T> tryMake(const char* what) {
  try {
    return std::make_unique<T>();
  } catch (const std::exception& error) {
    ParletLog::write(std::string(what) + " unavailable: " + error.what());
    return nullptr;
  }
}

int run(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName("Parlet");
  QApplication::setApplicationVersion(PARLET_VERSION);
  QApplication::setQuitOnLastWindowClosed(false);

  platform::desktop::QtMainQueue queue;
  JsonFileSettings settings(JsonFileSettings::defaultLocation());
  TranscriptArchive& archive = TranscriptArchive::shared();
  auto pasteboard = std::make_shared<platform::desktop::QtPasteboard>();
  const bool trustedAtStart = platform::desktop::accessibilityStatus().trusted;
  std::unique_ptr<platform::desktop::X11KeyMonitor> keys;
  std::shared_ptr<PasteKeys> pasteKeys;
  if (trustedAtStart) {
    keys = tryMake<platform::desktop::X11KeyMonitor>("trigger key");
    pasteKeys = tryMake<platform::desktop::X11PasteKeys>("paste chord");
  }
  if (!pasteKeys) pasteKeys = std::make_shared<NoPasteKeys>();
  Paster::Dependencies pasting;
  pasting.mainQueue = &queue;
  pasting.pasteboard = pasteboard;
  pasting.keys = pasteKeys;
  pasting.focus = std::make_shared<platform::desktop::X11FocusedApplication>();
  auto paster = std::make_shared<Paster>(std::move(pasting));
  platform::desktop::LaunchAtLogin login;

  std::unique_ptr<AppController> app;
  ModelDownloadFeed download(&queue, [&app](std::optional<double> fraction) {
    if (app) app->setModelDownload(fraction);
  });
  auto transcriber = std::make_shared<Transcriber>(app::applicationEngineFactory(
      download.handler(), [&download] { download.finished(); }));

  widgets::OverlayWindow pill;
  AppController::Dependencies dependencies;
  dependencies.mainQueue = &queue;
  dependencies.settings = &settings;
  dependencies.archive = &archive;
  dependencies.pasteboard = pasteboard;
  dependencies.keyMonitors = keys.get();
  dependencies.makeDictation = [&](Pipeline::Callbacks callbacks) -> std::unique_ptr<Dictation> {
    Pipeline::Dependencies parts;
    parts.mainQueue = &queue;
    parts.transcriber = transcriber;
    parts.paster = paster;
    return std::make_unique<PipelineDictation>(std::move(callbacks), std::move(parts));
  };
  dependencies.isTrusted = [] { return platform::desktop::accessibilityStatus().trusted; };
  dependencies.untrustedReason = [] { return platform::desktop::accessibilityStatus().reason; };
  dependencies.openAccessibilitySettings = [] {
    const auto status = platform::desktop::accessibilityStatus();
    QMessageBox::information(nullptr, "Parlet",
                             status.trusted ? "Parlet can watch the trigger key and paste."
                                            : QString::fromStdString(status.reason));
  };
  dependencies.launchAtLoginEnabled = [&login] {
    return login.status() == platform::desktop::LaunchAtLogin::Status::enabled;
  };
  dependencies.setLaunchAtLogin = [&login](bool on) { on ? login.registerItem() : login.unregister(); };
  dependencies.placeOverlay = [&pill] { pill.placeOnActiveScreen(); };
  dependencies.makeOnboardingWindow = [](OnboardingController& controller) -> std::unique_ptr<WindowHandle> {
    auto* window = new widgets::WelcomeWindow(controller);
    return std::make_unique<widgets::QtWindowHandle>(window, [window] { window->detach(); });
  };
  dependencies.makeArchiveWindow = [](ArchiveWindowController& controller,
                                      std::unique_ptr<ArchiveViewModel> view) -> std::unique_ptr<WindowHandle> {
    auto* window = new widgets::ArchiveWindow(&controller, std::move(view));
    return std::make_unique<widgets::QtWindowHandle>(window, [window] { window->detach(); });
  };
  dependencies.quit = [] { QApplication::quit(); };
  dependencies.version = PARLET_VERSION;
  app = std::make_unique<AppController>(std::move(dependencies));

  widgets::TrayMenu tray(*app);
  app->launch();
  pill.setModel(&app->overlay().model());
  pill.show();

  const int status = application.exec();
  pill.setModel(nullptr);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (const std::string why = parlet::app::whyNoDisplay(); !why.empty()) {
    std::fprintf(stderr, "parlet: %s\n", why.c_str());
    return 1;
  }
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "parlet: %s\n", error.what());
    return 1;
  }
}
