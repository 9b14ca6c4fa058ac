#include "Parlet/desktop/OnboardingController.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Parlet/desktop/tests/FakeWindow.h"

namespace parlet {
namespace {

using ::testing::ElementsAre;

class OnboardingControllerTest : public ::testing::Test {
 protected:
  OnboardingControllerTest() {
    controller = std::make_shared<OnboardingController>(
        OnboardingController::Callbacks{[this] { calls.push_back("request"); },
                                        [this]() -> std::optional<std::string> {
                                          calls.push_back("try");
                                          return keyTitle;
                                        },
                                        [this] { calls.push_back("pulse"); }, [this] { calls.push_back("completed"); },
                                        [this] { calls.push_back("dismissed"); }},
        OnboardingController::Dependencies{
            [this] { return trusted; }, nullptr,
            [this](OnboardingController& c) {
              return std::make_unique<testing::FakeWindow>(windows, [&c] { c.windowWillClose(); });
            },
            [this](const std::string& line) { systemLog.push_back(line); }});
  }

  bool trusted = false;
  std::optional<std::string> keyTitle = "Left Super";
  std::vector<std::string> calls;
  std::vector<std::string> systemLog;
  testing::WindowLog windows;
  std::shared_ptr<OnboardingController> controller;
  OnboardingModel& model() { return controller->model(); }
};

TEST_F(OnboardingControllerTest, WalksThePagesWithTheRightButtonsAndCallbacks) {
  trusted = true;
  controller->show();
  EXPECT_TRUE(model().accessibilityGranted());
  EXPECT_EQ(model().hotkeyTitle(), "Right Alt");  // until the try-it page asks for the real key

  struct Step {
    int page;
    bool back;
    std::string main;
  };
  const Step steps[] = {{0, false, "Next"}, {1, true, "Next"}, {2, true, "Next"}, {3, false, "Got it"}};
  for (const auto& step : steps) {
    EXPECT_EQ(model().page(), step.page);
    EXPECT_EQ(controller->backVisible(), step.back) << step.page;
    EXPECT_EQ(controller->mainButtonTitle(), step.main) << step.page;
    EXPECT_TRUE(controller->mainButtonEnabled()) << step.page;
    if (step.page < 3) controller->next();
  }
  EXPECT_THAT(calls, ElementsAre("try", "pulse"));
  EXPECT_EQ(model().hotkeyTitle(), "Left Super");
  EXPECT_THAT(controller->card().bullets[1], "Hold **Left Super** and speak.");

  controller->next();  // "Got it"
  EXPECT_TRUE(controller->completed());
  EXPECT_EQ(windows.closed, 1);
  EXPECT_THAT(calls, ElementsAre("try", "pulse", "completed"));
  EXPECT_FALSE(controller->isShown());
  EXPECT_THAT(systemLog, ElementsAre("Parlet: onboarding show()", "Parlet: onboarding window made key, isVisible=true",
                                     "Parlet: onboarding windowWillClose, completed=true"));
}

TEST_F(OnboardingControllerTest, PermissionPageHoldsUntilGrantedAndBackAlwaysWorks) {
  controller->show();
  controller->next();
  ASSERT_EQ(model().page(), 1);
  EXPECT_FALSE(controller->mainButtonEnabled());
  EXPECT_EQ(controller->card().title, "Grant Accessibility");
  EXPECT_TRUE(controller->card().actionButton.has_value());
  controller->next();  // Return on a disabled button
  EXPECT_EQ(model().page(), 1);
  controller->grant();
  EXPECT_THAT(calls, ElementsAre("request"));
  // Granted behind the page's back: nothing changes until the application says so.
  trusted = true;
  EXPECT_FALSE(controller->mainButtonEnabled());
  model().setAccessibilityGranted(true);
  EXPECT_TRUE(controller->mainButtonEnabled());
  EXPECT_EQ(controller->card().title, "All set");
  EXPECT_FALSE(controller->card().actionButton.has_value());
  controller->back();
  EXPECT_EQ(model().page(), 0);
  controller->back();  // no Back on the first page
  EXPECT_EQ(model().page(), 0);
}

TEST_F(OnboardingControllerTest, ClosingBeforeTheEndDismissesOnPageAfterPage) {
  for (int page = 0; page < 4; ++page) {
    calls.clear();
    controller = std::make_shared<OnboardingController>(
        OnboardingController::Callbacks{nullptr, nullptr, nullptr, [this] { calls.push_back("completed"); },
                                        [this] { calls.push_back("dismissed"); }},
        OnboardingController::Dependencies{[] { return true; }, nullptr, [this](OnboardingController& c) {
                                             return std::make_unique<testing::FakeWindow>(
                                                 windows, [&c] { c.windowWillClose(); });
                                           },
                                           nullptr});
    controller->show();
    controller->model().setPage(page);
    controller->windowWillClose();  // the close button
    EXPECT_THAT(calls, ElementsAre("dismissed")) << page;
    EXPECT_FALSE(controller->completed());
  }
}

TEST_F(OnboardingControllerTest, KeyTitleStaysWhenTheApplicationGivesNone) {
  keyTitle.reset();
  controller->show();
  controller->armHotkey();
  EXPECT_EQ(model().hotkeyTitle(), "Right Alt");
}

TEST(BoldRunsTest, DoubleAsterisksMarkBoldRuns) {
  struct Case {
    std::string text;
    std::vector<TextRun> runs;
  };
  const Case cases[] = {
      {"plain", {{"plain", false}}},
      {"Hold **Right Alt** and speak.", {{"Hold ", false}, {"Right Alt", true}, {" and speak.", false}}},
      {"**Bold** start", {{"Bold", true}, {" start", false}}},
      {"an ** unmatched mark", {{"an ** unmatched mark", false}}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(boldRuns(c.text), c.runs) << c.text;
}

}  // namespace
}  // namespace parlet
