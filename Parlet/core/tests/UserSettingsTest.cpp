#include "Parlet/core/UserSettings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
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

// A settings file over maxFileBytes is unreadable: logged, not read, set aside at the next write;
// a file at the bound is read.
TEST(UserSettingsTest, AFileOverTheSizeBoundIsSetAsideUnread) {
  testsupport::TempDir dir;
  const auto url = dir.path() / "settings.json";
  const std::string head = "{\"HasOnboarded\": true, \"pad\": \"";
  const std::string atBound = head + std::string(JsonFileSettings::maxFileBytes - head.size() - 2, 'x') + "\"}";
  ASSERT_EQ(atBound.size(), JsonFileSettings::maxFileBytes);
  std::ofstream(url, std::ios::binary) << atBound;
  std::vector<std::string> log;
  auto sink = [&](const std::string& line) { log.push_back(line); };
  EXPECT_TRUE(JsonFileSettings(url, sink).boolean(UserSettings::hasOnboardedKey));
  EXPECT_TRUE(log.empty());

  std::ofstream(url, std::ios::binary | std::ios::app) << " ";
  JsonFileSettings over(url, sink);
  EXPECT_FALSE(over.boolean(UserSettings::hasOnboardedKey));
  ASSERT_EQ(log.size(), 1u);
  EXPECT_THAT(log[0], ::testing::HasSubstr("larger than 4 MiB"));
  over.setValue(UserSettings::hasOnboardedKey, json::Value(true));
  EXPECT_EQ(std::filesystem::file_size(dir.path() / "settings.json.unreadable"), JsonFileSettings::maxFileBytes + 1);
  EXPECT_TRUE(JsonFileSettings(url, sink).boolean(UserSettings::hasOnboardedKey));
}

// A file just under the bound that a change would write past it is left as it is (the reader
// would set it aside at the next start, losing every setting); the change lasts for this run.
// A change that stays within the bound is written.
TEST(UserSettingsTest, AChangeIsNeverWrittenPastTheSizeBound) {
  testsupport::TempDir dir;
  const auto url = dir.path() / "settings.json";
  for (const std::size_t room : {std::size_t{5}, std::size_t{200}}) {
    SCOPED_TRACE(room);
    // As the writer writes it: pretty, keys sorted; "TriggerKeyCode" : 54 takes about 30 bytes more.
    json::Value values(json::Object{});
    values.set(UserSettings::hasOnboardedKey, true);
    values.set("pad", "");
    const std::size_t bare = json::write(values, {.pretty = true, .sortedKeys = true}).size();
    values.set("pad", std::string(JsonFileSettings::maxFileBytes - room - bare, 'x'));
    const std::string before = json::write(values, {.pretty = true, .sortedKeys = true});
    ASSERT_EQ(before.size(), JsonFileSettings::maxFileBytes - room);
    std::ofstream(url, std::ios::binary | std::ios::trunc) << before;
    std::vector<std::string> log;
    JsonFileSettings settings(url, [&](const std::string& line) { log.push_back(line); });
    settings.setValue(UserSettings::triggerKeyCodeKey, json::Value(54));
    EXPECT_EQ(settings.integer(UserSettings::triggerKeyCodeKey), 54);
    std::ifstream in(url, std::ios::binary);
    const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_LE(after.size(), JsonFileSettings::maxFileBytes);
    JsonFileSettings restarted(url, [&](const std::string& line) { log.push_back(line); });
    EXPECT_TRUE(restarted.boolean(UserSettings::hasOnboardedKey));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "settings.json.unreadable"));
    if (room < 30) {
      EXPECT_EQ(after, before);
      EXPECT_EQ(restarted.integer(UserSettings::triggerKeyCodeKey), std::nullopt);
      ASSERT_EQ(log.size(), 1u);
      EXPECT_THAT(log[0], ::testing::HasSubstr("TriggerKeyCode is not saved: the settings would take"));
      EXPECT_THAT(log[0], ::testing::HasSubstr("keeps its earlier settings"));
    } else {
      EXPECT_EQ(restarted.integer(UserSettings::triggerKeyCodeKey), 54);
      EXPECT_TRUE(log.empty()) << log.front();
    }
  }
}

// Settings in a folder that is not ours (a link, another user's) are neither loaded nor written
// over: the settings live in memory and the log names the folder; a folder of ours that others
// may write to is closed, and used.
TEST(UserSettingsTest, AFolderThatIsNotOursIsNeitherReadNorWritten) {
  namespace fs = std::filesystem;
  struct Case {
    const char* what;
    std::function<void(const fs::path& folder, const fs::path& elsewhere)> make;  // settings.json is put in it after
    const char* refusal;  // none: the folder is used
  };
  const Case cases[] = {
      {"a link to another folder",
       [](const fs::path& folder, const fs::path& elsewhere) {
         fs::create_directories(elsewhere);
         fs::create_directory_symlink(elsewhere, folder);
       },
       "is a symbolic link"},
      {"another user's folder",
       [](const fs::path& folder, const fs::path&) {
         fs::create_directories(folder);
         chmod(folder.c_str(), 0777);
         ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
       },
       "belongs to user 65534"},
      {"ours, open to all", [](const fs::path& folder, const fs::path&) {
         fs::create_directories(folder);
         chmod(folder.c_str(), 0777);
       },
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.refusal && std::string(c.refusal).starts_with("belongs") && geteuid() != 0) continue;  // needs root
    testsupport::TempDir dir;
    const fs::path folder = dir.path() / "Parlet";
    c.make(folder, dir.path() / "elsewhere");
    const std::string planted = "{\"TriggerKeyCode\": 54, \"HasOnboarded\": true}";
    std::ofstream(folder / "settings.json") << planted;
    std::vector<std::string> log;
    {
      JsonFileSettings settings(folder / "settings.json", [&](const std::string& line) { log.push_back(line); });
      EXPECT_EQ(settings.boolean(UserSettings::hasOnboardedKey), c.refusal == nullptr);
      settings.setValue(UserSettings::triggerKeyCodeKey, json::Value(56));
      EXPECT_EQ(currentKey(settings).title, "Left Shift") << "kept for this run";
    }
    std::ifstream in(folder / "settings.json");
    const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (c.refusal) {
      EXPECT_EQ(after, planted);
      ASSERT_FALSE(log.empty());
      EXPECT_THAT(log[0], ::testing::HasSubstr(folder.string() + " " + c.refusal));
    } else {
      EXPECT_THAT(after, ::testing::HasSubstr("56"));
      struct stat info {};
      ASSERT_EQ(lstat(folder.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0777, 0755u);
    }
  }
}

}  // namespace
}  // namespace parlet
