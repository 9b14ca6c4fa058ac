// The running application: the dictation core on the desktop backends (X11 key watcher and paste
// chord, Qt clipboard, focused window), the shell's controller, the tray, the pill and the windows,
// and the first start's model download shown in the menu. Needs a QApplication; GUI thread only.
// `start()` launches (welcome window, permission polling or the trigger key and model load).
// Construction throws only when the main queue is missing; backends the display lacks are left out
// and logged (no trigger key, or the text stays on the clipboard without the paste chord).
//   QApplication qt(argc, argv);  QtMainQueue queue;  DesktopApplication app(queue, {});  app.start();  qt.exec();
#pragma once

#include <memory>

#include "KestrumCore/MainQueue.h"
#include "Parlet/core/AudioRecorder.h"
#include "Parlet/core/SpeechEngine.h"
#include "Parlet/core/TranscriptArchive.h"
#include "Parlet/core/UserSettings.h"
#include "Parlet/desktop/AppController.h"

namespace parlet::app {

class DesktopApplication {
 public:
  struct Options {
    SpeechEngineFactory engineFactory;        // default: the application's engine, with its download shown
    PlatformRecorderFactory recorderFactory;  // default: the microphone
    UserSettings* settings = nullptr;         // default: the settings file of this user
    TranscriptArchive* archive = nullptr;     // default: TranscriptArchive::shared()
  };

  DesktopApplication(kestrum::MainQueue& mainQueue, Options options);
  ~DesktopApplication();
  DesktopApplication(const DesktopApplication&) = delete;
  DesktopApplication& operator=(const DesktopApplication&) = delete;

  void start();
  AppController& controller();

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace parlet::app
