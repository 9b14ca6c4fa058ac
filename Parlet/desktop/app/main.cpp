// parlet: push-to-talk dictation in the tray. Without an X display it says so in one line and exits
// with status 1; errors that reach this edge are printed the same way.
#include <QApplication>

#include <cstdio>
#include <exception>
#include <string>

#include "Parlet/desktop/app/DesktopApplication.h"
#include "Parlet/desktop/app/DisplayCheck.h"
#include "platform/Desktop/QtMainQueue.h"

int main(int argc, char** argv) {
  if (const std::string why = parlet::app::whyNoDisplay(); !why.empty()) {
    std::fprintf(stderr, "parlet: %s\n", why.c_str());
    return 1;
  }
  // Qt runs on X11 also in a Wayland session (through Xwayland): the clipboard and the focused window are X11's.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");
  try {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Parlet");
    QApplication::setApplicationVersion(PARLET_VERSION);
    QApplication::setQuitOnLastWindowClosed(false);
    platform::desktop::QtMainQueue queue;
    parlet::app::DesktopApplication parlet(queue, {});
    parlet.start();
    return application.exec();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "parlet: %s\n", error.what());
    return 1;
  }
}
