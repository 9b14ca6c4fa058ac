#include "Parlet/desktop/widgets/TrayMenu.h"

#include <QApplication>
#include <QLabel>

#include <cstdlib>
#include <functional>
#include <string>

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
  void cancel() override {}
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
    d.makeDictation = [this](Pipeline::Callbacks given) {
      callbacks = std::move(given);
      return std::make_unique<IdleDictation>();
    };
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
  Pipeline::Callbacks callbacks;
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

// The model's line is laid out at its full height from its first show: a line that appears or
// changes while the menu is closed or open, in one line or in two, is never cut to part of itself.
TEST_F(TrayMenuTest, TheModelsLineHasItsFullHeightFromItsFirstShow) {
  make(true);
  auto* line = tray->menu().findChild<QLabel*>();
  ASSERT_NE(line, nullptr);
  auto settle = [] {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
  };
  auto open = [&] {
    tray->menu().popup(QPoint(100, 100));
    settle();
  };
  auto close = [&] {
    tray->menu().hide();
    settle();
  };
  int shots = 0;
  auto measure = [&](const std::string& when) {
    SCOPED_TRACE(when);
    settle();
    ASSERT_TRUE(line->isVisible());
    EXPECT_GE(line->height(), line->heightForWidth(line->width())) << line->text().toStdString();
    if (const char* folder = std::getenv("PARLET_SCREENSHOT_DIR"))
      tray->menu().grab().save(QString(folder) + "/tray-menu-line-" + QString::number(++shots) + ".png");
  };
  const std::string problem = "Download failed: Could not resolve host: huggingface.co";
  struct Step {
    const char* what;
    bool openFirst;  // the change comes while the menu is open
    std::function<void()> change;
  };
  const Step steps[] = {
      {"the download appears while the menu is closed", false, [&] { app->setModelDownload(0.0, 31'600'000); }},
      {"the download appears while the menu is open", true, [&] { app->setModelDownload(0.0, 31'600'000); }},
      {"a longer line replaces a shorter one while open", true, [&] { callbacks.onModelLoad(problem); }},
      {"a shorter line replaces a longer one while open", true, [&] {
         callbacks.onModelLoad(std::nullopt);
         app->setModelDownload(0.5);
       }},
  };
  for (const Step& step : steps) {
    app->setModelDownload(std::nullopt);
    callbacks.onModelLoad(std::nullopt);
    close();
    if (step.openFirst) open();
    step.change();
    if (!step.openFirst) open();
    measure(std::string(step.what) + ", first opening");
    close();
    open();
    measure(std::string(step.what) + ", second opening");
    close();
  }
}

// The model's line is drawn in the menu's normal text colour (a disabled item's would be faint), and
// while the model is unavailable it says why, above "Try Again".
TEST_F(TrayMenuTest, TheModelsLineIsPlainTextAndAFailedLoadOffersTryAgain) {
  make(true);
  app->setModelDownload(0.25, 200'000'000);
  ASSERT_EQ(shown()[1], "Downloading speech model\u2026 25% (50.0 of 200.0 MB)");
  auto* line = tray->menu().findChild<QLabel*>();
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->text().toStdString(), shown()[1]);
  EXPECT_TRUE(line->isEnabled());
  EXPECT_EQ(line->palette().color(QPalette::WindowText), tray->menu().palette().color(QPalette::Active, QPalette::Text));
  app->setModelDownload(std::nullopt);

  callbacks.onNotice("Couldn't load model");
  callbacks.onModelLoad("Download failed: Could not resolve host: huggingface.co");
  const std::vector<std::string> items = shown();
  ASSERT_GE(items.size(), 4u);
  EXPECT_THAT(std::vector<std::string>(items.begin(), items.begin() + 4),
              ElementsAre("Parlet 0.1.0",
                          "Speech model unavailable: no connection to the model repository, and the speech model "
                          "has not been downloaded yet.",
                          "Try Again", "-"));
  EXPECT_THAT(tray->icon().toolTip().toStdString(), ::testing::HasSubstr("Speech model unavailable"));
  if (const char* folder = std::getenv("PARLET_SCREENSHOT_DIR")) {
    tray->menu().adjustSize();
    tray->menu().grab().save(QString(folder) + "/tray-menu-model-unavailable.png");
  }
  ASSERT_TRUE(item("Try Again")->isEnabled());
  item("Try Again")->trigger();
  EXPECT_FALSE(item("Try Again")->isEnabled()) << "a second try while one runs";
  callbacks.onModelLoad(std::nullopt);
  EXPECT_EQ(shown()[1], "-");
}

// Under HF_HUB_OFFLINE a try cannot help: the line below the problem says offline mode is on and
// cannot be chosen, and a model that loads later clears both.
TEST_F(TrayMenuTest, OfflineModeIsSaidInsteadOfOfferingTryAgain) {
  make(true);
  callbacks.onNotice("Couldn't load model");
  callbacks.onModelLoad("HF_HUB_OFFLINE is set: No local copy of model \"base.en\" of openai/whisper-base.en in /c");
  const std::vector<std::string> items = shown();
  ASSERT_GE(items.size(), 4u);
  EXPECT_THAT(std::vector<std::string>(items.begin(), items.begin() + 4),
              ElementsAre("Parlet 0.1.0",
                          "Speech model unavailable: offline mode is on (HF_HUB_OFFLINE), and the speech model has "
                          "not been downloaded yet.",
                          "Offline mode is on (HF_HUB_OFFLINE is set)", "-"));
  EXPECT_FALSE(item("Offline mode is on (HF_HUB_OFFLINE is set)")->isEnabled());
  EXPECT_FALSE(app->menu().get().retryEnabled);
  app->retryModelLoad();
  EXPECT_FALSE(app->menu().get().retryEnabled);

  callbacks.onModelLoad("Download failed: Could not resolve host: huggingface.co");
  EXPECT_EQ(shown()[2], "Try Again");
  EXPECT_TRUE(item("Try Again")->isEnabled());
}

}  // namespace
}  // namespace parlet::widgets
