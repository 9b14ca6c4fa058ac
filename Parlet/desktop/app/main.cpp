// parlet: push-to-talk dictation in the tray. --help and --version answer without a display; any
// other argument is an error (status 2). Without an X display it says so in one line and exits
// with status 1; errors that reach this edge are printed the same way. A second launch while one
// copy runs asks that copy to show itself, says so in one line and exits with status 0.
#include <QApplication>

#include <cstdio>
#include <exception>
#include <string>

#include "Parlet/core/ParletLog.h"
#include "Parlet/desktop/app/CommandLine.h"
#include "Parlet/desktop/app/DesktopApplication.h"
#include "Parlet/desktop/app/DisplayCheck.h"
#include "Parlet/desktop/app/QtMainQueue.h"
#include "Parlet/desktop/app/SingleInstance.h"
#include "platform/Desktop/LaunchAtLogin.h"

int main(int argc, char** argv) {
  if (const auto reply = parlet::app::readCommandLine(argc, argv, PARLET_VERSION); !reply.run) {
    std::fputs(reply.out.c_str(), stdout);
    std::fputs(reply.err.c_str(), stderr);
    return reply.status;
  }
  if (const std::string why = parlet::app::whyNoDisplay(); !why.empty()) {
    std::fprintf(stderr, "parlet: %s\n", why.c_str());
    return 1;
  }
  // Qt runs on X11 also in a Wayland session (through Xwayland): the clipboard and the focused window are X11's.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");
  try {
    QApplication application(argc, argv);
    // Also the class of every window (WM_CLASS "parlet", "Parlet"), which the launcher entry names.
    QApplication::setApplicationName("Parlet");
    QApplication::setApplicationVersion(PARLET_VERSION);
    QGuiApplication::setDesktopFileName(platform::desktop::kApplicationId);
    QApplication::setQuitOnLastWindowClosed(false);

    using Role = parlet::app::SingleInstance::Role;
    parlet::app::SingleInstance instance;
    const Role role = instance.claim();
    if (role == Role::secondary) {
      if (auto answer = instance.askToReopen()) {
        std::printf("parlet: %s\n", answer->c_str());
        return 0;
      }
      std::fprintf(stderr, "parlet: another copy is running, but %s\n", instance.problem().c_str());
      return 1;
    }
    if (role == Role::unavailable)
      parlet::ParletLog::write("single copy not guarded: " + instance.problem());

    // Listening at once: a launch meanwhile waits for its answer until the event loop runs.
    parlet::app::DesktopApplication* running = nullptr;
    if (role == Role::primary && !instance.listen([&running] {
          return running ? running->controller().reopen() : std::string("already running");
        }))
      parlet::ParletLog::write("second launches go unanswered: " + instance.problem());
    parlet::app::QtMainQueue queue;
    parlet::app::DesktopApplication parlet(queue, {});
    parlet.start();
    running = &parlet;
    const int status = application.exec();
    running = nullptr;
    // Returning ends the QApplication, whose X11 clipboard then hands what Parlet holds to the clipboard
    // manager: a quit must come this way, never through exit().
    return status;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "parlet: %s\n", error.what());
    return 1;
  }
}
