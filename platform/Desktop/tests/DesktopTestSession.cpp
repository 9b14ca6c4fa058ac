#include "platform/Desktop/tests/DesktopTestSession.h"

#include <QApplication>
#include <QElapsedTimer>

#include <memory>

namespace desktoptest {
namespace {

struct Shared {
  bool started = false;
  std::unique_ptr<testsupport::XvfbSession> session;
  std::string whyNot;
  std::unique_ptr<QCoreApplication> app;
  int argc = 1;
  char name[32] = "platform_desktop_tests";
  char* argv[2] = {name, nullptr};

  void start() {
    if (started) return;
    started = true;
    session = testsupport::XvfbSession::start({}, whyNot);
    if (session) {
      qputenv("QT_QPA_PLATFORM", "xcb");
      app = std::make_unique<QApplication>(argc, argv);
    } else {
      app = std::make_unique<QCoreApplication>(argc, argv);
    }
  }
};

Shared& shared() {
  static Shared instance;
  return instance;
}

// Ends the application before its X server.
class Teardown : public ::testing::Environment {
 public:
  void TearDown() override {
    shared().app.reset();
    shared().session.reset();
  }
};
[[maybe_unused]] const auto* const teardown = ::testing::AddGlobalTestEnvironment(new Teardown);

}  // namespace

QCoreApplication& application() {
  shared().start();
  return *shared().app;
}

testsupport::XvfbSession* session() {
  shared().start();
  return shared().session.get();
}

const std::string& whyNoSession() {
  shared().start();
  return shared().whyNot;
}

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  application();
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > limit.count()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::sendPostedEvents();
  }
  return true;
}

void pumpFor(std::chrono::milliseconds duration) {
  application();
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < duration.count()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

}  // namespace desktoptest
