#include "Parlet/core/UserSettings.h"

#include <fstream>
#include <limits>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testsupport/Fixtures.h"

namespace parlet {
namespace {

namespace json = platform::json;

TEST(UserSettingsTest, CurrentKeyFallsBackToRightAltForAnythingButAPresetCode) {
  struct Case {
    std::optional<json::Value> stored;
    const char* title;
  };
  const std::vector<Case> cases = {
      {std::nullopt, "Right Alt"},  {json::Value(57), "Right Alt"},    {json::Value(63), "Right Alt"},
      {json::Value(54), "Right Super"}, {json::Value(56), "Left Shift"}, {json::Value("54"), "Right Alt"},
      {json::Value(true), "Right Alt"},
  };
  for (const Case& c : cases) {
    InMemorySettings settings;
    if (c.stored) settings.setValue(UserSettings::triggerKeyCodeKey, *c.stored);
    EXPECT_EQ(currentKey(settings).title, c.title);
  }
}

TEST(UserSettingsTest, HasOnboardedIsFalseUnlessStoredTrue) {
  InMemorySettings settings;
  EXPECT_FALSE(settings.boolean(UserSettings::hasOnboardedKey));
  settings.setValue(UserSettings::hasOnboardedKey, json::Value(1));
  EXPECT_FALSE(settings.boolean(UserSettings::hasOnboardedKey));
  settings.setValue(UserSettings::hasOnboardedKey, json::Value(true));
  EXPECT_TRUE(settings.boolean(UserSettings::hasOnboardedKey));
}

TEST(UserSettingsTest, FileSettingsSurviveARestartAndSetABadFileAside) {
  testsupport::TempDir dir;
  std::filesystem::path url = dir.path() / "Parlet" / "settings.json";
  std::vector<std::string> log;
  auto sink = [&](const std::string& line) { log.push_back(line); };
  {
    JsonFileSettings settings(url, sink);
    EXPECT_FALSE(settings.integer(UserSettings::triggerKeyCodeKey));
    settings.setValue(UserSettings::triggerKeyCodeKey, json::Value(56));
    settings.setValue(UserSettings::hasOnboardedKey, json::Value(true));
  }
  {
    JsonFileSettings settings(url, sink);
    EXPECT_EQ(currentKey(settings).title, "Left Shift");
    EXPECT_TRUE(settings.boolean(UserSettings::hasOnboardedKey));
  }
  EXPECT_TRUE(log.empty());

  std::ofstream(url, std::ios::trunc) << "{not json";
  JsonFileSettings settings(url, sink);
  EXPECT_EQ(currentKey(settings).title, "Right Alt");
  settings.setValue(UserSettings::hasOnboardedKey, json::Value(true));
  std::ifstream aside(url.string() + ".unreadable");
  std::stringstream text;
  text << aside.rdbuf();
  EXPECT_EQ(text.str(), "{not json");
  EXPECT_EQ(log.size(), 2u);
  EXPECT_TRUE(JsonFileSettings(url, sink).boolean(UserSettings::hasOnboardedKey));
}

TEST(UserSettingsTest, EachUnreadableFileIsSetAsideUnderTheNextFreeName) {
  testsupport::TempDir dir;
  std::filesystem::path url = dir.path() / "settings.json";
  std::vector<std::string> log;
  auto sink = [&](const std::string& line) { log.push_back(line); };
  auto read = [](const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  };
  std::ofstream(url.string() + ".tmp-Ab12Cd") << "{}";  // left by an interrupted write
  for (const char* bad : {"{first", "[\"second\"]", "third"}) {
    std::ofstream(url, std::ios::trunc) << bad;
    JsonFileSettings(url, sink).setValue(UserSettings::hasOnboardedKey, json::Value(true));
  }
  EXPECT_EQ(read(url.string() + ".unreadable"), "{first");
  EXPECT_EQ(read(url.string() + ".unreadable-2"), "[\"second\"]");
  EXPECT_EQ(read(url.string() + ".unreadable-3"), "third");
  EXPECT_FALSE(std::filesystem::exists(url.string() + ".tmp-Ab12Cd"));
  EXPECT_THAT(log, ::testing::Contains(::testing::HasSubstr("removed 1 temporary files")));
  EXPECT_TRUE(JsonFileSettings(url, sink).boolean(UserSettings::hasOnboardedKey));
}

// A number the writer refuses (1e400 reads as infinity) makes the file malformed: it is set aside
// and the defaults hold, and the settings stay writable. A value of no JSON form is not stored.
TEST(UserSettingsTest, NonFiniteNumbersNeverLeaveTheSettingsUnwritable) {
  testsupport::TempDir dir;
  std::filesystem::path url = dir.path() / "settings.json";
  std::vector<std::string> log;
  auto sink = [&](const std::string& line) { log.push_back(line); };
  for (const char* bad : {R"({"TriggerKeyCode": 56, "Other": 1e400})", R"({"TriggerKeyCode": 56, "x": [-Infinity]})",
                          R"({"TriggerKeyCode": 56, "x": {"y": NaN}})"}) {
    SCOPED_TRACE(bad);
    std::filesystem::remove(url.string() + ".unreadable");
    std::ofstream(url, std::ios::trunc) << bad;
    {
      JsonFileSettings settings(url, sink);
      EXPECT_EQ(currentKey(settings).title, "Right Alt");
      settings.setValue(UserSettings::hasOnboardedKey, json::Value(true));
    }
    std::ifstream aside(url.string() + ".unreadable");
    std::stringstream text;
    text << aside.rdbuf();
    EXPECT_EQ(text.str(), bad);
    EXPECT_TRUE(JsonFileSettings(url, sink).boolean(UserSettings::hasOnboardedKey));
  }
  JsonFileSettings settings(url, sink);
  settings.setValue("Broken", json::Value(std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(settings.value("Broken"));
  settings.setValue(UserSettings::triggerKeyCodeKey, json::Value(56));
  EXPECT_EQ(currentKey(JsonFileSettings(url, sink)).title, "Left Shift");
  EXPECT_THAT(log, ::testing::Contains(::testing::HasSubstr("Broken has no JSON form")));
}

}  // namespace
}  // namespace parlet
