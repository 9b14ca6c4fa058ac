#include "Parlet/core/HotkeyManager.h"

#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Parlet/core/tests/Fakes.h"

namespace parlet {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using std::chrono::milliseconds;

// The trigger key, Escape, another modifier key (Left Alt, or Right Alt when Left Alt is the
// trigger), a key with a desktop code (Q) and one without (End, F5).
enum class Act { down, up, escape, otherDown, otherUp, letter, uncoded, pointer };

struct Step {
  int atMs;
  Act act;
};

class HotkeyHarness {
 public:
  explicit HotkeyHarness(HotkeyManager::Key key = HotkeyManager::presets[0])
      : manager(key,
                {[this] { record("press"); }, [this] { record("release"); },
                 [this](bool on) { record(on ? "lock(true)" : "lock(false)"); }, [this] { record("cancel"); }},
                {&queue, &monitors, [this](const std::string& line) { log.push_back(line); }}) {
    manager.start();
  }

  void at(int ms) { queue.advance(milliseconds(ms) - queue.now()); }

  // Flags as the monitors give them: those of every modifier held, so releasing one Alt key while
  // the other is down leaves the option flag set.
  void send(Act act, bool global = true) {
    const HotkeyManager::Key& key = manager.key();
    const std::uint16_t other = key.keyCode == 58 ? 61 : 58;
    auto modifier = [&](std::uint16_t code, std::uint64_t flag, bool down) {
      if (down) held[code] = flag;
      else held.erase(code);
      monitors.send(EventMask::flagsChanged, {code, flags(), down}, global);
    };
    switch (act) {
      case Act::down: modifier(key.keyCode, key.flag, true); break;
      case Act::up: modifier(key.keyCode, key.flag, false); break;
      case Act::otherDown: modifier(other, ModifierFlag::option, true); break;
      case Act::otherUp: modifier(other, ModifierFlag::option, false); break;
      case Act::escape: monitors.send(EventMask::keyDown, {kEscapeKeyCode, flags(), true}, global); break;
      case Act::letter: monitors.send(EventMask::keyDown, {12, flags(), true}, global); break;
      case Act::uncoded: monitors.send(EventMask::keyDown, {kOtherKeyCode, flags(), true}, global); break;
      case Act::pointer: monitors.send(EventMask::keyDown, {platform::desktop::kPointerCode, flags(), true}, global); break;
    }
    queue.runUntilIdle();
  }
  std::uint64_t flags() const {
    std::uint64_t result = 0;
    for (const auto& [code, flag] : held) result |= flag;
    return result;
  }

  void run(const std::vector<Step>& steps, int endMs) {
    for (const Step& step : steps) {
      at(step.atMs);
      send(step.act);
    }
    at(endMs);
  }

  void record(const std::string& what) {
    events.push_back(what + "@" + std::to_string(std::chrono::duration_cast<milliseconds>(queue.now()).count()));
  }

  kestrum::ManualMainQueue queue;
  testing::FakeKeyMonitors monitors;
  std::vector<std::string> events;
  std::vector<std::string> log;
  std::map<std::uint16_t, std::uint64_t> held;  // modifier keys down, with their flags
  HotkeyManager manager;
};

struct ScriptCase {
  const char* name;
  std::vector<Step> steps;
  int endMs;
  std::vector<std::string> expected;
};

class HotkeyScriptTest : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(HotkeyScriptTest, ProducesCallbacksAtTheRightTimes) {
  HotkeyHarness harness;
  harness.run(GetParam().steps, GetParam().endMs);
  EXPECT_THAT(harness.events, ElementsAreArray(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, HotkeyScriptTest,
    ::testing::Values(
        ScriptCase{"HoldReleasesAtKeyUp", {{0, Act::down}, {1000, Act::up}}, 3000, {"press@0", "release@1000"}},
        ScriptCase{"TapReleases350msAfterKeyUp", {{0, Act::down}, {200, Act::up}}, 3000, {"press@0", "release@550"}},
        ScriptCase{"HoldOfExactly600msIsATap", {{0, Act::down}, {600, Act::up}}, 3000, {"press@0", "release@950"}},
        ScriptCase{"HoldOf601msIsAHold", {{0, Act::down}, {601, Act::up}}, 3000, {"press@0", "release@601"}},
        ScriptCase{"DoubleTapLocksUntilNextPress",
                   {{0, Act::down}, {100, Act::up}, {300, Act::down}, {400, Act::up}, {2000, Act::down},
                    {2100, Act::up}, {3000, Act::down}},
                   4000,
                   {"press@0", "lock(true)@300", "lock(false)@2000", "release@2000", "press@3000"}},
        ScriptCase{"SecondPressAfterTheDeferredReleaseStartsAfresh",
                   {{0, Act::down}, {100, Act::up}, {451, Act::down}, {500, Act::up}},
                   3000,
                   {"press@0", "release@450", "press@451", "release@850"}},
        ScriptCase{"EscapeEndsALock",
                   {{0, Act::down}, {100, Act::up}, {200, Act::down}, {300, Act::up}, {1000, Act::escape}},
                   3000,
                   {"press@0", "lock(true)@200", "lock(false)@1000", "release@1000"}},
        ScriptCase{"EscapeWhileIdleDoesNothing", {{0, Act::escape}, {10, Act::down}, {1000, Act::up}}, 3000,
                   {"press@10", "release@1000"}},
        ScriptCase{"OtherKeyOfTheSameKindIsIgnored", {{0, Act::otherDown}, {1000, Act::otherUp}}, 3000, {}},
        ScriptCase{"KeyUpWithoutKeyDownIsIgnored", {{0, Act::up}}, 3000, {}},
        ScriptCase{"RepeatedKeyDownWhileHeldIsIgnored",
                   {{0, Act::down}, {300, Act::down}, {900, Act::up}},
                   3000,
                   {"press@0", "release@900"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The trigger key used with another key is a chord: the press is cancelled, never released into a
// dictation, and does not count towards a double tap.
INSTANTIATE_TEST_SUITE_P(
    Chords, HotkeyScriptTest,
    ::testing::Values(
        ScriptCase{"AKeyDownWhileHeldCancelsThePress",
                   {{0, Act::down}, {60, Act::letter}, {120, Act::up}}, 3000, {"press@0", "cancel@60"}},
        ScriptCase{"AKeyWithoutACodeCancelsALongHold",
                   {{0, Act::down}, {1200, Act::uncoded}, {1300, Act::up}}, 3000, {"press@0", "cancel@1200"}},
        ScriptCase{"AClickWhileHeldCancelsALongHold",  // Shift held 2 s to extend a selection
                   {{0, Act::down}, {300, Act::pointer}, {2000, Act::up}}, 3000, {"press@0", "cancel@300"}},
        ScriptCase{"TheWheelBetweenTwoTapsCancelsTheFirst",
                   {{0, Act::down}, {100, Act::up}, {200, Act::pointer}, {300, Act::down}, {400, Act::up}},
                   3000,
                   {"press@0", "cancel@200", "press@300", "release@750"}},
        ScriptCase{"AnotherModifierDownAndUpWhileHeldCancelsThePress",
                   {{0, Act::down}, {100, Act::otherDown}, {150, Act::otherUp}, {1000, Act::up}},
                   3000,
                   {"press@0", "cancel@100"}},
        ScriptCase{"EscapeWhileHeldCancelsThePress",
                   {{0, Act::down}, {100, Act::escape}, {1000, Act::up}}, 3000, {"press@0", "cancel@100"}},
        ScriptCase{"FurtherKeysOfTheChordChangeNothing",
                   {{0, Act::down}, {50, Act::letter}, {80, Act::uncoded}, {90, Act::down}, {100, Act::letter},
                    {700, Act::up}},
                   3000,
                   {"press@0", "cancel@50"}},
        ScriptCase{"TwoChordsInARowAreNotADoubleTap",  // AltGr+8, AltGr+9 typed at speed: "[]"
                   {{0, Act::down}, {60, Act::letter}, {120, Act::up}, {200, Act::down}, {260, Act::letter},
                    {320, Act::up}},
                   3000,
                   {"press@0", "cancel@60", "press@200", "cancel@260"}},
        ScriptCase{"AKeyBetweenTwoTapsCancelsTheFirstAndTheSecondStartsAfresh",
                   {{0, Act::down}, {100, Act::up}, {200, Act::letter}, {300, Act::down}, {400, Act::up}},
                   3000,
                   {"press@0", "cancel@200", "press@300", "release@750"}},
        ScriptCase{"EscapeBetweenTwoTapsCancelsTheFirst",
                   {{0, Act::down}, {100, Act::up}, {200, Act::escape}}, 3000, {"press@0", "cancel@200"}},
        ScriptCase{"AfterAChordTheNextPressDictates",
                   {{0, Act::down}, {50, Act::letter}, {100, Act::up}, {500, Act::down}, {1500, Act::up}},
                   3000,
                   {"press@0", "cancel@50", "press@500", "release@1500"}},
        ScriptCase{"AModifierHeldBeforeTheTriggerLetsItDictate",
                   {{0, Act::otherDown}, {100, Act::down}, {300, Act::otherUp}, {1000, Act::up}},
                   3000,
                   {"press@100", "release@1000"}},
        ScriptCase{"TheTriggerComingUpWhileAModifierOfItsKindIsHeldEndsTheHold",
                   {{0, Act::otherDown}, {100, Act::down}, {1000, Act::up}, {1200, Act::otherUp}},
                   3000,
                   {"press@100", "release@1000"}},
        ScriptCase{"KeysTypedWhileIdleChangeNothing",
                   {{0, Act::letter}, {10, Act::uncoded}, {20, Act::otherDown}, {30, Act::otherUp}}, 3000, {}},
        ScriptCase{"KeysTypedWhileLockedKeepTheLock",
                   {{0, Act::down}, {100, Act::up}, {200, Act::down}, {300, Act::up}, {500, Act::letter},
                    {600, Act::otherDown}, {650, Act::otherUp}, {700, Act::uncoded}, {800, Act::pointer}, {1000, Act::down},
                    {1050, Act::letter}, {1100, Act::up}, {2000, Act::down}, {3000, Act::up}},
                   4000,
                   {"press@0", "lock(true)@200", "lock(false)@1000", "release@1000", "press@2000",
                    "release@3000"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HotkeyManagerTest, LogsAChordWithoutNamingTheOtherKey) {
  HotkeyHarness harness;
  harness.run({{0, Act::down}, {50, Act::letter}, {100, Act::up}}, 1000);
  EXPECT_THAT(harness.log, ElementsAre("hotkey flags keyCode=61 isDown=true state=idle", "hotkey chord state=held",
                                       "hotkey flags keyCode=61 isDown=false state=chord"));
}

TEST(HotkeyManagerTest, LogsEachTriggerKeyEventWithTheStateBeforeIt) {
  HotkeyHarness harness;
  harness.run({{0, Act::otherDown}, {10, Act::down}, {100, Act::up}}, 1000);
  EXPECT_THAT(harness.log, ElementsAre("hotkey flags keyCode=61 isDown=true state=idle",
                                       "hotkey flags keyCode=61 isDown=false state=held"));
}

TEST(HotkeyManagerTest, LocalMonitorsBehaveLikeGlobalOnes) {
  HotkeyHarness harness;
  harness.send(Act::down, /*global=*/false);
  harness.at(100);
  harness.send(Act::up, false);
  harness.at(200);
  harness.send(Act::down, false);
  harness.at(300);
  harness.send(Act::up, false);
  harness.send(Act::escape, false);
  EXPECT_THAT(harness.events, ElementsAre("press@0", "lock(true)@200", "lock(false)@300", "release@300"));
}

TEST(HotkeyManagerTest, StartInstallsEachMonitorOnce) {
  HotkeyHarness harness;  // started once already
  harness.manager.start();
  ASSERT_EQ(harness.monitors.monitors.size(), 4u);
  const auto& m = harness.monitors.monitors;
  EXPECT_TRUE(m[0].global && m[0].mask == EventMask::flagsChanged);
  EXPECT_TRUE(!m[1].global && m[1].mask == EventMask::flagsChanged);
  EXPECT_TRUE(m[2].global && m[2].mask == EventMask::keyDown);
  EXPECT_TRUE(!m[3].global && m[3].mask == EventMask::keyDown);
}

TEST(HotkeyManagerTest, SetKeyEndsAHoldLockOrPendingRelease) {
  {
    HotkeyHarness harness;  // locked
    harness.run({{0, Act::down}, {100, Act::up}, {200, Act::down}}, 300);
    harness.manager.setKey(HotkeyManager::presets[7]);
    EXPECT_THAT(harness.events, ElementsAre("press@0", "lock(true)@200", "release@300", "lock(false)@300"));
    EXPECT_EQ(harness.manager.key().title, "Left Shift");
    harness.at(400);
    harness.send(Act::down);  // the new key starts a fresh hold
    EXPECT_EQ(harness.events.back(), "press@400");
  }
  {
    HotkeyHarness harness;  // lockedKeyDown: the release already happened, and happens again
    harness.run({{0, Act::down}, {100, Act::up}, {200, Act::down}, {1000, Act::down}}, 1100);
    harness.manager.setKey(HotkeyManager::presets[1]);
    EXPECT_THAT(harness.events, ElementsAre("press@0", "lock(true)@200", "lock(false)@1000", "release@1000",
                                            "release@1100", "lock(false)@1100"));
  }
  {
    HotkeyHarness harness;  // chord: the press was cancelled already, nothing more comes
    harness.run({{0, Act::down}, {50, Act::letter}}, 100);
    harness.manager.setKey(HotkeyManager::presets[4]);
    harness.at(200);
    harness.send(Act::down);
    EXPECT_THAT(harness.events, ElementsAre("press@0", "cancel@50", "press@200"));
  }
  {
    HotkeyHarness harness;  // deferring: released at once, and the pending release never fires
    harness.run({{0, Act::down}, {100, Act::up}}, 200);
    harness.manager.setKey(HotkeyManager::presets[2]);
    harness.at(2000);
    EXPECT_THAT(harness.events, ElementsAre("press@0", "release@200"));
  }
}

TEST(HotkeyManagerTest, EventsAfterTheManagerIsGoneAreDropped) {
  kestrum::ManualMainQueue queue;
  testing::FakeKeyMonitors monitors;
  int presses = 0;
  {
    HotkeyManager manager(HotkeyManager::presets[0], {[&] { ++presses; }, [] {}, [](bool) {}, [] {}},
                          {&queue, &monitors, [](const std::string&) {}});
    manager.start();
    monitors.send(EventMask::flagsChanged, {61, ModifierFlag::option, true});
  }
  queue.runUntilIdle();
  monitors.send(EventMask::flagsChanged, {61, ModifierFlag::option, true});
  queue.advance(std::chrono::seconds(1));
  EXPECT_EQ(presses, 0);
}

TEST(HotkeyManagerTest, PresetsMapKeyCodesToLinuxTitles) {
  const std::vector<std::pair<std::uint16_t, std::string>> expected = {
      {61, "Right Alt"}, {58, "Left Alt"}, {54, "Right Super"}, {55, "Left Super"},
      {62, "Right Control"}, {59, "Left Control"}, {60, "Right Shift"}, {56, "Left Shift"}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(HotkeyManager::presets[i].keyCode, expected[i].first);
    EXPECT_EQ(HotkeyManager::presets[i].title, expected[i].second);
  }
  EXPECT_EQ(HotkeyManager::presets[0].flag, 0x80000u);
  EXPECT_EQ(HotkeyManager::presets[2].flag, 0x100000u);
  EXPECT_EQ(HotkeyManager::presets[4].flag, 0x40000u);
  EXPECT_EQ(HotkeyManager::presets[6].flag, 0x20000u);

  EXPECT_EQ(HotkeyManager::presetForKeyCode(54).title, "Right Super");
  for (std::optional<std::int64_t> code : {std::optional<std::int64_t>(), std::optional<std::int64_t>(57),
                                           std::optional<std::int64_t>(63), std::optional<std::int64_t>(-1)})
    EXPECT_EQ(HotkeyManager::presetForKeyCode(code), HotkeyManager::presets[0]);
}

}  // namespace
}  // namespace parlet
