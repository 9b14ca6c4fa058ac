// The application as `parlet` runs it, for the clipboard-manager test: with its archive at the path
// given holding one transcript, it copies that transcript (the menu's Copy Last Transcript), says
// "copied" on standard output, and when a line arrives on standard input it quits as the menu's
// Quit Parlet does. Its engine transcribes nothing.
#include <QApplication>
#include <QSocketNotifier>

#include <unistd.h>

#include <cstdio>

#include "Parlet/core/TranscriptArchive.h"
#include "Parlet/core/UserSettings.h"
#include "Parlet/desktop/app/DesktopApplication.h"
#include "Parlet/desktop/app/QtMainQueue.h"

namespace {
class SilentEngine : public parlet::SpeechEngine {
 public:
  std::vector<parlet::EngineResult> transcribe(const std::string&) override { return {}; }
};
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: parlet-quit-probe ARCHIVE TEXT\n");
    return 2;
  }
  QApplication application(argc, argv);
  QApplication::setApplicationName("Parlet");
  QApplication::setQuitOnLastWindowClosed(false);
  parlet::InMemorySettings settings;
  settings.setValue(parlet::UserSettings::hasOnboardedKey, true);
  parlet::TranscriptArchive archive(argv[1]);
  archive.add(argv[2]);
  parlet::app::QtMainQueue queue;
  parlet::app::DesktopApplication::Options options;
  auto engine = std::make_shared<SilentEngine>();
  options.engineFactory = [engine](const parlet::EngineOptions&) { return engine; };
  options.settings = &settings;
  options.archive = &archive;
  parlet::app::DesktopApplication parlet(queue, std::move(options));
  parlet.start();
  parlet.controller().copyLastTranscript();
  std::printf("copied\n");
  std::fflush(stdout);
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    char buffer[64];
    if (read(STDIN_FILENO, buffer, sizeof buffer) >= 0) parlet.controller().quit();
  });
  return application.exec();
}
