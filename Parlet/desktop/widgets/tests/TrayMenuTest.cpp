#include "Parlet/desktop/widgets/TrayMenu.h"

#include <QApplication>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Parlet/core/tests/Fakes.h"

namespace parlet::widgets {
namespace {

using ::testing::ElementsAre;

struct IdleDictation : Dictation {
  void prewarm() override {}
  void start() override {}
  void stop() override {}
};

class TrayMenuTest : public ::testing::Test {
 protected:
  void make(bool trusted) {
    settings.setValue(UserSettings::hasOnboardedKey, true);
    AppController::Dependencies d;
    d.mainQueue = &queue;
    d.settings = &settings;
    d.archive = &archive;
    d.pasteboard = pasteboard;
    d.makeDictation = [](Pipeline::Callbacks) { return std::make_unique<IdleDictation>(); };
    d.isTrusted = [trusted] { return trusted; };
    d.version = "0.1.0";
    d.log = [](const std::string&) {};
    d.systemLog = [](const std::string&) {};
    app = std::make_unique<AppController>(std::move(d));
    tray = std::make_unique<TrayMenu>(*app);
    app->launch();
  }
  // The menu as a person sees it: visible items top to bottom, "-" for separators.
  std::vector<std::string> shown() {
    std::vector<std::string> items;
    for (QAction* action : tray->menu().actions())
      if (action->isVisible()) items.push_back(action->isSeparator() ? "-" : action->text().toStdString());
    return items;
  }
  QAction* item(const std::string& text) {
    for (QAction* action : tray->menu().actions())
      if (action->text().toStdString() == text) return action;
    return nullptr;
  }

  kestrum::ManualMainQueue queue;
  InMemorySettings settings;
  TranscriptArchive archive{"", {nullptr, nullptr, [](const std::string&) {}}};
  std::shared_ptr<testing::FakePasteboard> pasteboard = std::make_shared<testing::FakePasteboard>();
  std::unique_ptr<AppController> app;
  std::unique_ptr<TrayMenu> tray;
};

TEST_F(TrayMenuTest, ItemsFollowThePermission) {
  make(true);
  EXPECT_THAT(shown(), ElementsAre("Parlet 0.1.0", "-", "Accessibility: Granted", "Hotkey", "Launch at Login", "-",
                                   "Copy Last Transcript", "Show Archive\u2026", "Show Welcome\u2026", "Quit Parlet"));
  EXPECT_EQ(tray->icon().toolTip().toStdString(), "Parlet \u2014 hold Right Alt to dictate");
  tray.reset();
  app.reset();
  make(false);
  EXPECT_THAT(shown(), ElementsAre("Parlet 0.1.0", "-", "Grant Accessibility\u2026", "Launch at Login", "-",
                                   "Copy Last Transcript", "Show Archive\u2026", "Show Welcome\u2026", "Quit Parlet"));
  EXPECT_EQ(tray->icon().toolTip().toStdString(), "Parlet needs Accessibility access");
}

TEST_F(TrayMenuTest, ChoosingAKeyInTheSubmenuStoresItAndMovesTheCheck) {
  make(true);
  QMenu* keys = item("Hotkey")->menu();
  ASSERT_NE(keys, nullptr);
  std::vector<std::string> titles;
  for (QAction* key : keys->actions()) titles.push_back(key->text().toStdString());
  EXPECT_THAT(titles, ElementsAre("Right Alt", "Left Alt", "Right Super", "Left Super", "Right Control",
                                  "Left Control", "Right Shift", "Left Shift"));
  EXPECT_TRUE(keys->actions()[0]->isChecked());
  keys->actions()[3]->trigger();
  EXPECT_EQ(settings.integer(UserSettings::triggerKeyCodeKey), 55);
  for (int row = 0; row < 8; ++row) EXPECT_EQ(keys->actions()[row]->isChecked(), row == 3) << row;
  EXPECT_EQ(tray->icon().toolTip().toStdString(), "Parlet \u2014 hold Left Super to dictate");
}

TEST_F(TrayMenuTest, CopyLastIsEnabledOnOpeningWithAnEntryAndTheDownloadShowsWhileItRuns) {
  make(true);
  Q_EMIT tray->menu().aboutToShow();
  EXPECT_FALSE(item("Copy Last Transcript")->isEnabled());
  archive.add("hello there");
  Q_EMIT tray->menu().aboutToShow();
  EXPECT_TRUE(item("Copy Last Transcript")->isEnabled());
  item("Copy Last Transcript")->trigger();
  EXPECT_EQ(pasteboard->string(), "hello there");

  app->setModelDownload(0.5);
  EXPECT_THAT(shown()[1], "Downloading speech model\u2026 50%");
  app->setModelDownload(std::nullopt);
  EXPECT_EQ(shown()[1], "-");
}

}  // namespace
}  // namespace parlet::widgets
