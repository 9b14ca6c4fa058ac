#include "Parlet/core/TranscriptArchive.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/System/Json.h"
#include "testsupport/Fixtures.h"

namespace parlet {
namespace {

using namespace std::chrono;
using ::testing::HasSubstr;
using UUID = platform::system::UUID;

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

UUID numberedId(int n) {
  char text[40];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012d", n);
  return *UUID::parse(text);
}

std::string entryJson(int n, const std::string& date = "2024-01-01T00:00:00Z") {
  return "{\"date\":\"" + date + "\",\"id\":\"" + numberedId(n).uuidString() + "\",\"text\":\"entry " +
         std::to_string(n) + "\"}";
}

class TranscriptArchiveTest : public ::testing::Test {
 protected:
  TranscriptArchive::Options options() {
    return {[this] { return now; }, [this] { return numberedId(++nextId); },
            [this](const std::string& line) { log.push_back(line); }};
  }
  std::unique_ptr<TranscriptArchive> open() { return std::make_unique<TranscriptArchive>(url, options()); }

  testsupport::TempDir dir;
  std::filesystem::path url = dir.path() / "transcripts.json";
  // 2024-03-05 14:07:09.750 UTC
  system_clock::time_point now = sys_days{year{2024} / 3 / 5} + hours(14) + minutes(7) + seconds(9) + milliseconds(750);
  int nextId = 0;
  std::vector<std::string> log;
};

TEST_F(TranscriptArchiveTest, WritesThePrettySortedFileNewestFirst) {
  auto archive = open();
  now -= seconds(10);
  archive->add("older");
  now += seconds(10);
  archive->add("  a/b \"quoted\"\tcafé\nsecond line \n");
  EXPECT_EQ(readFile(url),
            "[\n"
            "  {\n"
            "    \"date\" : \"2024-03-05T14:07:09Z\",\n"
            "    \"id\" : \"00000000-0000-4000-8000-000000000002\",\n"
            "    \"text\" : \"a\\/b \\\"quoted\\\"\\tcafé\\nsecond line\"\n"
            "  },\n"
            "  {\n"
            "    \"date\" : \"2024-03-05T14:06:59Z\",\n"
            "    \"id\" : \"00000000-0000-4000-8000-000000000001\",\n"
            "    \"text\" : \"older\"\n"
            "  }\n"
            "]");
  EXPECT_TRUE(log.empty());
}

TEST_F(TranscriptArchiveTest, AddTrimsAndIgnoresBlankText) {
  auto archive = open();
  archive->add(" \n\t \n");
  EXPECT_TRUE(archive->entries().empty());
  EXPECT_FALSE(std::filesystem::exists(url));
  archive->add("  \n word \n ");
  ASSERT_EQ(archive->entries().size(), 1u);
  EXPECT_EQ(archive->entries()[0].text, "word");
  EXPECT_EQ(archive->entries()[0].date, now);
}

TEST_F(TranscriptArchiveTest, KeepsTheNewest200AfterEachAddition) {
  auto archive = open();
  for (int i = 0; i < 200; ++i) archive->add("entry " + std::to_string(i));
  ASSERT_EQ(archive->entries().size(), 200u);
  archive->add("newest");
  ASSERT_EQ(archive->entries().size(), 200u);
  EXPECT_EQ(archive->entries().front().text, "newest");
  EXPECT_EQ(archive->entries().back().text, "entry 1");  // "entry 0" was the oldest
  EXPECT_EQ(platform::json::parse(readFile(url)).asArray().size(), 200u);
}

TEST_F(TranscriptArchiveTest, AnOversizedFileLoadsWholeAndIsCutAtTheNextAddition) {
  std::string text = "[";
  for (int i = 1; i <= 250; ++i) {
    if (i > 1) text += ",";
    text += entryJson(i);
  }
  writeFile(url, text + "]");
  auto archive = open();
  ASSERT_EQ(archive->entries().size(), 250u);
  EXPECT_EQ(archive->entries()[0].id, numberedId(1));  // file order, no sorting
  archive->add("new");
  ASSERT_EQ(archive->entries().size(), 200u);
  EXPECT_EQ(archive->entries()[199].text, "entry 199");
}

TEST_F(TranscriptArchiveTest, ReloadedDatesHaveWholeSecondsAndExtraMembersGo) {
  writeFile(url, "[{\"extra\": 1, \"text\": \"kept\", \"id\": \"" + numberedId(7).uuidString() +
                     "\", \"date\": \"2024-03-05T15:07:09+01:00\"}]");
  {
    auto archive = open();
    ASSERT_EQ(archive->entries().size(), 1u);
    EXPECT_EQ(archive->entries()[0].date, sys_days{year{2024} / 3 / 5} + hours(14) + minutes(7) + seconds(9));
    archive->add("fresh");
    EXPECT_THAT(readFile(url), ::testing::Not(HasSubstr("extra")));
  }
  auto reloaded = open();
  TranscriptArchive::Entry added = {numberedId(1), now, "fresh"};
  EXPECT_NE(reloaded->entries()[0], added);  // the 750 ms are gone
  EXPECT_EQ(reloaded->entries()[0].date, floor<seconds>(now));
}

TEST_F(TranscriptArchiveTest, RemovalWritesOnlyWhenTheRulesSaySo) {
  writeFile(url, "[" + entryJson(1) + "," + entryJson(2) + "," + entryJson(3) + "]");
  const std::string original = readFile(url);
  auto archive = open();
  archive->remove(std::unordered_set<UUID>{});
  archive->remove(std::unordered_set<UUID>{numberedId(99)});
  EXPECT_EQ(readFile(url), original);  // nothing written

  archive->remove(std::unordered_set<UUID>{numberedId(2)});
  ASSERT_EQ(archive->entries().size(), 2u);
  EXPECT_EQ(archive->entries()[0].id, numberedId(1));
  EXPECT_EQ(archive->entries()[1].id, numberedId(3));
  EXPECT_NE(readFile(url), original);

  writeFile(url, "stale");
  archive->remove(TranscriptArchive::Entry{numberedId(42), now, "x"});  // matches nothing, still writes
  EXPECT_EQ(platform::json::parse(readFile(url)).asArray().size(), 2u);

  archive->remove(archive->entries()[0]);
  EXPECT_EQ(archive->entries().size(), 1u);
  archive->clear();
  archive->clear();
  EXPECT_TRUE(platform::json::parse(readFile(url)).asArray().empty());
}

TEST_F(TranscriptArchiveTest, AnUndecodableFileIsSetAsideBeforeTheFirstWrite) {
  const std::vector<std::string> badFiles = {
      "[{\"date\":\"2024-01-01T00:00:00Z\",\"id\":\"" + numberedId(1).uuidString() + "\"}]",  // no text
      "[" + entryJson(1, "2024-01-01T00:00:00.5Z") + "]",  // fractional seconds
      "[" + entryJson(1, "2024-02-30T00:00:00Z") + "]",    // no such day
      "[" + entryJson(1, "9999-12-31T23:59:59Z") + "]",    // beyond the clock's range
      "[" + entryJson(1, "1600-01-01T00:00:00Z") + "]",    // before it
      "[{\"date\":\"2024-01-01T00:00:00Z\",\"id\":\"not-a-uuid\",\"text\":\"t\"}]",
      "{\"entries\": []}",
      "[1, 2",
      std::string("\xff\xfe[]", 4),
  };
  for (const std::string& bad : badFiles) {
    SCOPED_TRACE(bad);
    std::filesystem::remove_all(dir.path());
    std::filesystem::create_directories(dir.path());
    log.clear();
    writeFile(url, bad);
    auto archive = open();
    EXPECT_TRUE(archive->entries().empty());
    ASSERT_EQ(log.size(), 1u);
    EXPECT_THAT(log[0], HasSubstr("cannot decode"));
    EXPECT_EQ(readFile(url), bad);  // untouched until a change is written

    archive->add("after");
    EXPECT_EQ(readFile(dir.path() / "transcripts.json.unreadable"), bad);
    EXPECT_EQ(platform::json::parse(readFile(url)).asArray().size(), 1u);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_THAT(log[1], HasSubstr("set aside"));
    archive->add("again");  // set aside once only
    EXPECT_EQ(log.size(), 2u);
  }
}

TEST_F(TranscriptArchiveTest, SettingAsideNeverOverwritesAnEarlierSetAside) {
  writeFile(dir.path() / "transcripts.json.unreadable", "first bad");
  writeFile(url, "second bad");
  open()->add("x");
  EXPECT_EQ(readFile(dir.path() / "transcripts.json.unreadable"), "first bad");
  EXPECT_EQ(readFile(dir.path() / "transcripts.json.unreadable-2"), "second bad");
}

TEST_F(TranscriptArchiveTest, ASetAsideThatCannotEvenLookForANameIsLoggedNotThrown) {
  // The longest file name allowed: "<name>.unreadable" is too long to look up.
  url = dir.path() / (std::string(250, 'a') + ".json");
  writeFile(url, "not json");
  auto archive = open();
  EXPECT_NO_THROW(archive->add("kept"));
  ASSERT_EQ(archive->entries().size(), 1u);
  EXPECT_EQ(archive->entries()[0].text, "kept");
  EXPECT_EQ(readFile(url), "not json");  // the unreadable file is not replaced
  ASSERT_EQ(log.size(), 2u);
  EXPECT_THAT(log[1], HasSubstr("cannot set aside"));
}

TEST_F(TranscriptArchiveTest, AFailedWriteIsLoggedAndTheChangeKeptInMemory) {
  url = dir.path() / "missing-folder" / "transcripts.json";
  auto archive = open();
  archive->add("kept");
  EXPECT_EQ(archive->entries().size(), 1u);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_THAT(log[0], HasSubstr("archive: write failed"));
}

TEST_F(TranscriptArchiveTest, ObserversHearOfAChangeBeforeItTakesEffect) {
  auto archive = open();
  std::vector<std::size_t> seen;
  auto id = archive->observe([&] { seen.push_back(archive->entries().size()); });
  archive->add("one");
  archive->add("   ");  // no change, no notice
  archive->remove(std::unordered_set<UUID>{numberedId(99)});
  archive->clear();
  archive->removeObserver(id);
  archive->add("two");
  EXPECT_EQ(seen, (std::vector<std::size_t>{0, 1}));
}

}  // namespace
}  // namespace parlet
