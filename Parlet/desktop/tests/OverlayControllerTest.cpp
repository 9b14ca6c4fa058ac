#include "Parlet/desktop/OverlayController.h"

#include <cmath>

#include <gtest/gtest.h>

namespace parlet {
namespace {

using State = Pipeline::State;
using std::chrono::milliseconds;

class OverlayControllerTest : public ::testing::Test {
 protected:
  kestrum::ManualMainQueue queue;
  int placements = 0;
  OverlayController overlay{{&queue, [this] { ++placements; }}};
  OverlayModel& model = overlay.model();

  void wait(int ms) { queue.advance(milliseconds(ms)); }
};

TEST_F(OverlayControllerTest, PillContentFollowsNoticeThenStateThenLock) {
  struct Case {
    State state;
    bool locked;
    std::optional<std::string> notice;
    PillIcon icon;
    std::string label;
  };
  const Case cases[] = {
      {State::idle, false, std::nullopt, PillIcon::none, ""},
      {State::preparing, false, std::nullopt, PillIcon::busyDots, "Loading model\u2026"},
      {State::recording, false, std::nullopt, PillIcon::bars, "Listening"},
      {State::recording, true, std::nullopt, PillIcon::lockedBars, "Locked \u00B7 tap to stop"},
      {State::processing, false, std::nullopt, PillIcon::busyDots, "Thinking"},
      {State::processing, true, std::nullopt, PillIcon::busyDots, "Thinking"},  // the lock only shows while recording
      {State::recording, true, "Mic unavailable", PillIcon::notice, "Mic unavailable"},
      {State::idle, false, "Copied last transcript", PillIcon::info, "Copied last transcript"},  // no error
      {State::idle, false, "Couldn't load model", PillIcon::notice, "Couldn't load model"},
  };
  for (const auto& c : cases) {
    OverlayModel m;
    m.setState(c.state);
    m.setLocked(c.locked);
    m.setNotice(c.notice);
    const PillContent content = pillContent(m);
    EXPECT_EQ(content.icon, c.icon) << c.label;
    EXPECT_EQ(content.label, c.label);
  }
}

TEST_F(OverlayControllerTest, ShowsForBusyStatesAndPlacesOnlyWhenComingIntoView) {
  EXPECT_EQ(placements, 1);  // at construction
  EXPECT_FALSE(model.visible());
  overlay.setState(State::preparing);
  EXPECT_TRUE(model.visible());
  EXPECT_EQ(placements, 2);
  overlay.setState(State::recording);  // already shown: stays where it is
  overlay.setState(State::processing);
  EXPECT_EQ(placements, 2);
  model.setLevel(0.7f);
  overlay.setState(State::idle);
  EXPECT_FALSE(model.visible());
  EXPECT_EQ(model.level(), 0.0f);
  overlay.setState(State::recording);
  EXPECT_EQ(placements, 3);
}

TEST_F(OverlayControllerTest, NoticeLastsOnePointFourSecondsAfterTheLatestOne) {
  overlay.flashNotice("Hold the key longer");
  EXPECT_TRUE(model.visible());
  EXPECT_EQ(placements, 2);
  wait(1000);
  overlay.flashNotice("Transcription failed");
  EXPECT_EQ(placements, 2);  // shown already
  wait(1399);
  EXPECT_EQ(model.notice(), "Transcription failed");
  EXPECT_TRUE(model.visible());
  wait(1);
  EXPECT_EQ(model.notice(), std::nullopt);
  EXPECT_FALSE(model.visible());
}

TEST_F(OverlayControllerTest, IdleDuringNoticeWaitsForTheNoticeAndBusyStateOutlivesIt) {
  overlay.setState(State::recording);
  overlay.flashNotice("Mic unavailable");
  EXPECT_EQ(pillContent(model).label, "Mic unavailable");
  wait(1400);
  EXPECT_EQ(pillContent(model).label, "Listening");
  EXPECT_TRUE(model.visible());

  overlay.flashNotice("Couldn't load model");
  model.setLevel(0.5f);
  overlay.setState(State::idle);  // the notice keeps the pill
  EXPECT_TRUE(model.visible());
  wait(1400);
  EXPECT_FALSE(model.visible());
  EXPECT_EQ(model.level(), 0.0f);
}

TEST_F(OverlayControllerTest, NoticeEndingAfterTheControllerIsGoneDoesNothing) {
  kestrum::ManualMainQueue local;
  {
    OverlayController gone({&local, nullptr});
    gone.flashNotice("Copied last transcript");
  }
  local.advance(milliseconds(2000));
  EXPECT_EQ(local.pendingCount(), 0u);
}

TEST(PillDrawingTest, BarsSpanThreeToSixteenPointsAndFadeWithLevel) {
  // Silence: five 3-point bars at 0.35 whatever the time.
  for (double t : {0.0, 0.3, 12.5}) {
    const WaveformBars quiet = waveformBars(0.0f, t);
    for (double h : quiet.heights) EXPECT_DOUBLE_EQ(h, 3.0);
    EXPECT_DOUBLE_EQ(quiet.opacity, 0.35);
  }
  // Full level (and beyond, clamped) at the crest of bar 0: sin(6t) = 1 at t = π/12.
  const double crest = M_PI / 12;
  for (float level : {1.0f, 4.0f}) {
    const WaveformBars loud = waveformBars(level, crest);
    EXPECT_NEAR(loud.heights[0], 16.0, 1e-9);
    EXPECT_NEAR(loud.heights[1], 13 * (0.5 * std::sin(M_PI / 2 + 0.7) + 0.5) + 3, 1e-9);
    EXPECT_NEAR(loud.opacity, 0.9, 1e-9);
    for (double h : loud.heights) {
      EXPECT_GE(h, 3.0);
      EXPECT_LE(h, 16.0);
    }
  }
  // A quarter level is half the amplitude.
  EXPECT_NEAR(waveformBars(0.25f, crest).heights[0], 0.5 * 13 + 3, 1e-9);
  EXPECT_NEAR(waveformBars(0.25f, crest).opacity, 0.5 * 0.55 + 0.35, 1e-9);
  EXPECT_DOUBLE_EQ(waveformBars(-1.0f, crest).heights[0], 3.0);
}

TEST(PillDrawingTest, BusyDotsPulseFromLeftToRight) {
  // At 2.6t = π/2 the first dot is brightest; the next ones trail by 0.6 rad.
  const auto dots = processingDots(M_PI / 2 / 2.6);
  EXPECT_NEAR(dots[0], 1.0, 1e-9);
  EXPECT_NEAR(dots[1], (0.5 * std::sin(M_PI / 2 - 0.6) + 0.5) * 0.75 + 0.25, 1e-9);
  EXPECT_GT(dots[1], dots[2]);
  const auto dim = processingDots(-M_PI / 2 / 2.6);
  EXPECT_NEAR(dim[0], 0.25, 1e-9);
}

TEST(PillDrawingTest, PanelSitsCentredEightyPointsAboveTheBottomOfTheScreenUnderThePointer) {
  // A second screen right of a 1920-wide one, its panel area below a 30-point bar.
  const Rect area{1920, 30, 1280, 994};
  const Rect frame = pillPanelFrame(area, 260, 64);
  EXPECT_EQ(frame, (Rect{1920 + 640 - 130, 30 + 994 - 80 - 64, 260, 64}));
}

// A window placed with frameAboveThePill ends 16 points above the pill's panel, or starts at the
// area's top when the part above the pill is too short.
TEST(PillDrawingTest, WindowsArePlacedAboveThePill) {
  struct Case {
    Rect area;
    Rect expected;
  } cases[] = {
      {{0, 0, 1280, 800}, {400, (800 - 144 - 16 - 410) / 2.0, 480, 410}},    // an 800-point screen
      {{0, 32, 1280, 768}, {400, 32 + (768 - 144 - 16 - 410) / 2.0, 480, 410}},  // below a top bar
      {{100, 0, 800, 500}, {260, 0, 480, 410}},                               // too short: at the top
  };
  for (const auto& c : cases) {
    const Rect frame = frameAboveThePill(c.area, 480, 410);
    EXPECT_EQ(frame, c.expected);
  }
}

}  // namespace
}  // namespace parlet
