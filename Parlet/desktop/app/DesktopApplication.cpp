#include "Parlet/desktop/app/DesktopApplication.h"

#include <QApplication>
#include <QMessageBox>

#include <exception>
#include <string>

#include "Parlet/core/ParletLog.h"
#include "Parlet/core/Paster.h"
#include "Parlet/core/Pipeline.h"
#include "Parlet/core/Transcriber.h"
#include "Parlet/desktop/app/EngineWiring.h"
#include "Parlet/desktop/app/PathMonitorWatch.h"
#include "Parlet/desktop/ModelDownloadFeed.h"
#include "Parlet/desktop/PermissionText.h"
#include "Parlet/desktop/widgets/ArchiveWindow.h"
#include "Parlet/desktop/widgets/OverlayWindow.h"
#include "Parlet/desktop/widgets/QtWindowHandle.h"
#include "Parlet/desktop/widgets/Symbols.h"
#include "Parlet/desktop/widgets/TrayMenu.h"
#include "Parlet/desktop/widgets/WelcomeWindow.h"
#include "platform/Desktop/GrantAccessWindow.h"
#include "platform/Desktop/InputServices.h"
#include "platform/Desktop/LaunchAtLogin.h"
#include "platform/Desktop/QtPasteboard.h"
#include "platform/Desktop/X11ClipboardRequests.h"
#include "platform/Desktop/X11FocusedApplication.h"
#include "platform/Desktop/XkbLayout.h"

namespace parlet::app {
namespace {

class PipelineDictation : public Dictation {
 public:
  PipelineDictation(Pipeline::Callbacks callbacks, Pipeline::Dependencies dependencies)
      : pipeline_(std::move(callbacks), std::move(dependencies)) {}
  void prewarm() override { pipeline_.prewarm(); }
  void start() override { pipeline_.start(); }
  void stop() override { pipeline_.stop(); }
  void cancel() override { pipeline_.cancel(); }

 private:
  Pipeline pipeline_;
};

// Paste keys where the backend has none: the text stays on the clipboard for the user to paste.
class NoPasteKeys : public PasteKeys {
 public:
  bool sendPasteChord(platform::desktop::PasteChord) override {
    ParletLog::write("paste chord unavailable: the input backend cannot type it");
    return false;
  }
};

}  // namespace

struct DesktopApplication::Parts {
  kestrum::MainQueue& queue;
  std::unique_ptr<JsonFileSettings> ownSettings;
  std::shared_ptr<platform::desktop::QtPasteboard> pasteboard = std::make_shared<platform::desktop::QtPasteboard>();
  platform::desktop::InputServices input;  // trigger key, paste chord and trust of the chosen backend
  std::shared_ptr<PasteKeys> pasteKeys;
  std::shared_ptr<Paster> paster;
  platform::desktop::LaunchAtLogin login;
  std::shared_ptr<ModelDownloadFeed> download;  // shared with the engine factory, which may outlive us
  std::shared_ptr<Transcriber> transcriber;
  std::shared_ptr<AudioRecorder> recorder;
  widgets::OverlayWindow pill;
  std::unique_ptr<AppController> app;
  std::unique_ptr<widgets::TrayMenu> tray;
  std::shared_ptr<Parts*> self = std::make_shared<Parts*>(this);  // weak handle for the download feed

  explicit Parts(kestrum::MainQueue& queue) : queue(queue) {}
};

DesktopApplication::DesktopApplication(kestrum::MainQueue& queue, Options options)
    : parts_(std::make_unique<Parts>(queue)) {
  Parts& p = *parts_;
  // Every window (welcome, archive, notices) shows the pencil, as the launcher entry does.
  QApplication::setWindowIcon(widgets::applicationIcon());
  UserSettings* settings = options.settings;
  if (!settings) {
    p.ownSettings = std::make_unique<JsonFileSettings>(JsonFileSettings::defaultLocation());
    settings = p.ownSettings.get();
  }
  auto postToMain = [&queue](std::function<void()> work) { queue.post(std::move(work)); };
  p.input = platform::desktop::makeInputServices(postToMain, [](const std::string& line) { ParletLog::write(line); });
  p.pasteKeys = p.input.pasteKeys;
  if (!p.pasteKeys) p.pasteKeys = std::make_shared<NoPasteKeys>();
  Paster::Dependencies pasting;
  pasting.mainQueue = &queue;
  pasting.pasteboard = p.pasteboard;
  pasting.keys = p.pasteKeys;
  pasting.focus = std::make_shared<platform::desktop::X11FocusedApplication>();
  pasting.selection =
      std::make_shared<platform::desktop::QtPasteboard>(platform::desktop::QtPasteboard::Selection::primary);
  pasting.requests = std::make_shared<platform::desktop::X11ClipboardRequests>();
  p.paster = std::make_shared<Paster>(std::move(pasting));

  SpeechEngineFactory engines = std::move(options.engineFactory);
  if (!engines) {
    std::weak_ptr<Parts*> weak = p.self;
    p.download = std::make_shared<ModelDownloadFeed>(&queue, [weak](std::optional<double> fraction, std::int64_t total) {
      if (auto self = weak.lock(); self && (*self)->app) (*self)->app->setModelDownload(fraction, total);
    });
    auto feed = p.download;
    engines = applicationEngineFactory([feed](const kestrum::Progress& progress) { feed->handler()(progress); },
                                       [feed] { feed->finished(); });
  }
  p.transcriber = std::make_shared<Transcriber>(std::move(engines));
  if (options.recorderFactory) {
    AudioRecorder::Dependencies recording;
    recording.makeRecorder = std::move(options.recorderFactory);
    p.recorder = std::make_shared<AudioRecorder>(std::move(recording));
  }

  AppController::Dependencies d;
  d.mainQueue = &queue;
  d.settings = settings;
  d.archive = options.archive ? options.archive : &TranscriptArchive::shared();
  d.pasteboard = p.pasteboard;
  d.keyMonitors = p.input.keys.get();
  d.makeDictation = [&p, archive = d.archive](Pipeline::Callbacks callbacks) -> std::unique_ptr<Dictation> {
    Pipeline::Dependencies parts;
    parts.mainQueue = &p.queue;
    parts.transcriber = p.transcriber;
    parts.paster = p.paster;
    parts.recorder = p.recorder;
    parts.archive = archive;
    return std::make_unique<PipelineDictation>(std::move(callbacks), std::move(parts));
  };
  d.isTrusted = [&p] { return p.input.accessibility().trusted; };
  d.untrustedReason = [&p] { return p.input.accessibility().reason; };
  // The system's request for the permission: a notice of why it is missing and what to do.
  d.promptForTrust = [&p] {
    const auto status = p.input.accessibility();
    if (status.trusted) return;
    auto* notice = new QMessageBox(QMessageBox::Warning, "Parlet", QString::fromStdString(keepPathsTogether(status.reason)));
    notice->setAttribute(Qt::WA_DeleteOnClose);
    notice->show();
  };
  d.openAccessibilitySettings = [&p] {
    const auto status = p.input.accessibility();
    if (p.input.showGrantSteps) {
      // The steps window, opened from "Grant Accessibility…": its reason does not send the user there again.
      if (status.trusted) return p.input.showGrantSteps();
      platform::desktop::showGrantAccessWindow(keepPathsTogether(withoutGrantPointer(status.reason)));
      return;
    }
    QMessageBox::information(nullptr, "Parlet",
                             status.trusted ? "Parlet can watch the trigger key and paste."
                                            : QString::fromStdString(status.reason));
  };
  d.launchAtLoginEnabled = [&p] { return p.login.status() == platform::desktop::LaunchAtLogin::Status::enabled; };
  d.setLaunchAtLogin = [&p](bool on) { on ? p.login.registerItem() : p.login.unregister(); };
  d.placeOverlay = [&p] { p.pill.placeOnActiveScreen(); };
  d.makeOnboardingWindow = [](OnboardingController& controller) -> std::unique_ptr<WindowHandle> {
    auto* window = new widgets::WelcomeWindow(controller);
    return std::make_unique<widgets::QtWindowHandle>(window, [window] { window->detach(); });
  };
  d.makeArchiveWindow = [](ArchiveWindowController& controller,
                           std::unique_ptr<ArchiveViewModel> view) -> std::unique_ptr<WindowHandle> {
    auto* window = new widgets::ArchiveWindow(&controller, std::move(view));
    return std::make_unique<widgets::QtWindowHandle>(window, [window] { window->detach(); });
  };
  d.quit = [] { QApplication::quit(); };
  d.keyName = [](const HotkeyManager::Key& key) {
    return platform::desktop::currentLayoutKeyName(key.keyCode).value_or(key.title);
  };
  d.version = QApplication::applicationVersion().toStdString();
  d.network = std::make_unique<PathMonitorWatch>(queue);
  p.app = std::make_unique<AppController>(std::move(d));
}

DesktopApplication::~DesktopApplication() {
  Parts& p = *parts_;
  p.self.reset();
  if (p.download) p.download->close();  // a load still running keeps the feed, but not its queue
  p.pill.setModel(nullptr);
  p.tray.reset();
  p.app.reset();
  p.download.reset();
}

void DesktopApplication::start() {
  Parts& p = *parts_;
  p.tray = std::make_unique<widgets::TrayMenu>(*p.app);
  p.app->launch();
  p.pill.setModel(&p.app->overlay().model());
  p.pill.show();
}

AppController& DesktopApplication::controller() { return *parts_->app; }

}  // namespace parlet::app
