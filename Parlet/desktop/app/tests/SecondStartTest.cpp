// A second start of Parlet while it runs with no window open, under an X server of the test's own:
// the running copy, asked through its single-instance socket, draws its pill on the screen (and
// blinks its tray icon), so the user sees that it runs.
#include <QApplication>
#include <QImage>
#include <QScreen>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "Parlet/core/UserSettings.h"
#include "Parlet/desktop/app/DesktopApplication.h"
#include "Parlet/desktop/app/QtMainQueue.h"
#include "Parlet/desktop/app/SingleInstance.h"
#include "platform/Desktop/tests/DesktopTestSession.h"
#include "testsupport/Fixtures.h"

namespace parlet::app {
namespace {

namespace fs = std::filesystem;
using desktoptest::pumpFor;
using desktoptest::pumpUntil;
using std::chrono::milliseconds;

class SilentEngine : public SpeechEngine {
 public:
  std::vector<EngineResult> transcribe(const std::string&) override { return {}; }
};

// Pixels of the pill's panel place (bottom centre, 80 points above the bottom edge) that differ
// from the plain background.
int pillPixels(const QImage& screen) {
  const QSize size = QGuiApplication::primaryScreen()->size();
  const QRect panel((size.width() - 260) / 2, size.height() - 80 - 64, 260, 64);
  const QRgb background = screen.pixel(5, size.height() - 5);
  int differing = 0;
  for (int y = panel.top(); y <= panel.bottom(); ++y)
    for (int x = panel.left(); x <= panel.right(); ++x) differing += screen.pixel(x, y) != background;
  return differing;
}

TEST(SecondStartTest, ASecondStartWithNoWindowOpenShowsThePillOfTheRunningCopy) {
  REQUIRE_X_SESSION();
  testsupport::TempDir folder;
  testsupport::EnvironmentGuard environment;
  environment.set("XDG_RUNTIME_DIR", folder.path().string());
  environment.set("XDG_CONFIG_HOME", (folder.path() / "config").string());
  fs::create_directories(folder.path() / "run");
  fs::permissions(folder.path() / "run", fs::perms::owner_all, fs::perm_options::replace);

  QtMainQueue queue;
  InMemorySettings settings;
  settings.setValue(UserSettings::hasOnboardedKey, true);
  TranscriptArchive archive{folder.path() / "transcripts.json"};
  DesktopApplication::Options options;
  options.engineFactory = [](const EngineOptions&) { return std::make_shared<SilentEngine>(); };
  options.settings = &settings;
  options.archive = &archive;
  DesktopApplication parlet(queue, std::move(options));
  parlet.start();
  const OverlayModel& pill = parlet.controller().overlay().model();
  // The model loads at once; then nothing is shown.
  pumpFor(milliseconds(800));
  ASSERT_FALSE(pill.visible());
  const QImage before = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
  EXPECT_LT(pillPixels(before), 260 * 64 / 20) << "the pill shows before the second start";

  SingleInstance running(folder.path() / "run");
  ASSERT_EQ(running.claim(), SingleInstance::Role::primary) << running.problem();
  ASSERT_TRUE(running.listen([&] { return parlet.controller().reopen(); })) << running.problem();
  SingleInstance second(folder.path() / "run");
  ASSERT_EQ(second.claim(), SingleInstance::Role::secondary);
  auto answer = std::async(std::launch::async, [&] { return second.askToReopen(std::chrono::seconds(5)); });
  ASSERT_TRUE(pumpUntil([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                        std::chrono::seconds(10)));
  const auto said = answer.get();
  ASSERT_TRUE(said.has_value()) << second.problem();
  EXPECT_EQ(*said, "already running: its pill says so, and its menu is on the blinking tray icon");

  pumpFor(milliseconds(500));  // past the pill's slide-in
  const QImage after = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
  if (const char* shots = std::getenv("PARLET_SCREENSHOT_DIR"))
    after.save(QString::fromStdString((fs::path(shots) / "desktop-second-start.png").string()));
  EXPECT_EQ(pill.notice(), "Parlet is already running");
  EXPECT_GT(pillPixels(after), 260 * 64 / 8) << "no pill on the screen";
  // The notice goes after its 1.4 s, and the pill with it.
  EXPECT_TRUE(pumpUntil([&] { return !pill.visible(); }, std::chrono::seconds(3)));
}

}  // namespace
}  // namespace parlet::app
