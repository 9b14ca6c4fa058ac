#include "Parlet/core/TranscriptArchive.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fstream>
#include <functional>
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

// An entry holds at most maxEntryBytes: a longer transcript is not archived, and a file holding one,
// or a file over maxFileBytes, is unreadable and set aside at the next write; at the bounds all is kept.
TEST_F(TranscriptArchiveTest, EntriesAndFilesOverTheirSizeBoundsAreRefusedWithAReason) {
  const std::string atBound(TranscriptArchive::maxEntryBytes, 'a');
  {
    auto archive = open();
    archive->add(atBound);
    archive->add(atBound + "a");
    ASSERT_EQ(archive->entries().size(), 1u);
    EXPECT_EQ(archive->entries().front().text.size(), TranscriptArchive::maxEntryBytes);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_THAT(log[0], HasSubstr("more than the 256 KiB an entry may hold; it is not archived"));
  }
  log.clear();
  EXPECT_EQ(open()->entries().size(), 1u) << "an entry at the bound reads back";
  EXPECT_TRUE(log.empty());

  struct Case {
    const char* what;
    std::function<void()> make;
    const char* reason;
  };
  const Case cases[] = {
      {"an entry over the bound",
       [&] {
         writeFile(url, "[{\"date\":\"2024-01-01T00:00:00Z\",\"id\":\"" + numberedId(1).uuidString() +
                            "\",\"text\":\"" + atBound + "a\"}]");
       },
       "more than the 256 KiB an entry may hold"},
      {"a file over the bound",
       [&] {
         writeFile(url, "[]");
         std::filesystem::resize_file(url, TranscriptArchive::maxFileBytes + 1);  // sparse
       },
       "larger than 128 MiB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(dir.path());
    std::filesystem::create_directories(dir.path());
    log.clear();
    c.make();
    const auto size = std::filesystem::file_size(url);
    auto archive = open();
    EXPECT_TRUE(archive->entries().empty());
    ASSERT_EQ(log.size(), 1u);
    EXPECT_THAT(log[0], HasSubstr(c.reason));
    archive->add("after");
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "transcripts.json.unreadable"), size) << "nothing lost";
    EXPECT_EQ(archive->entries().size(), 1u);
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

TEST_F(TranscriptArchiveTest, OnlyOurOwnStaleTemporariesAreRemovedAtStart) {
  writeFile(url, "[" + entryJson(1) + "]");
  const std::vector<std::string> ours = {"transcripts.json.tmp-Ab12Cd", "transcripts.json.tmp-000000"};
  const std::vector<std::string> kept = {"transcripts.json.backup",   "transcripts.json.tmp-Ab12C",
                                         "transcripts.json.tmp-Ab12Cd3", "transcripts.json.tmp-Ab_2Cd",
                                         "transcripts.json.unreadable", "other.json.tmp-Ab12Cd"};
  for (const auto& name : ours) writeFile(dir.path() / name, "[]");
  for (const auto& name : kept) writeFile(dir.path() / name, "keep");
  writeFile(dir.path() / "target", "precious");
  std::filesystem::create_symlink(dir.path() / "target", dir.path() / "transcripts.json.tmp-Link01");
  std::filesystem::create_directory(dir.path() / "transcripts.json.tmp-Fold01");

  auto archive = open();
  EXPECT_EQ(archive->entries().size(), 1u);
  for (const auto& name : ours) EXPECT_FALSE(std::filesystem::exists(dir.path() / name)) << name;
  for (const auto& name : kept) EXPECT_EQ(readFile(dir.path() / name), "keep") << name;
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path() / "transcripts.json.tmp-Link01"));
  EXPECT_EQ(readFile(dir.path() / "target"), "precious");
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "transcripts.json.tmp-Fold01"));
  EXPECT_THAT(log, ::testing::ElementsAre(HasSubstr("removed 2 temporary files")));
}

TEST_F(TranscriptArchiveTest, AnInterruptedWriteLeavesOnlyTemporariesThatTheNextStartRemoves) {
  auto leftBehind = [&] {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) count += entry.path() != url;
    return count;
  };
  writeFile(url, "[" + entryJson(1) + "]");
  // Children that write the archive over and over are killed at varying moments, until a write was
  // cut short between creating its temporary and renaming it. (Each child's start removes what the
  // one before left.)
  for (int kills = 0; kills < 300 && leftBehind() == 0; ++kills) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      TranscriptArchive archive(url, TranscriptArchive::Options{{}, {}, [](const std::string&) {}});
      archive.add("first");
      char byte = 1;
      (void)!::write(ready[1], &byte, 1);
      for (;;) archive.add(std::string(10000, 'x'));
    }
    close(ready[1]);
    char byte;
    (void)!::read(ready[0], &byte, 1);  // the child is writing from now on
    close(ready[0]);
    usleep(1000 * (kills % 30));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  std::size_t left = leftBehind();
  if (left == 0) GTEST_SKIP() << "no write was cut short in 300 kills";
  log.clear();
  auto archive = open();
  EXPECT_FALSE(archive->entries().empty());  // the file itself is whole
  EXPECT_EQ(leftBehind(), 0u);
  EXPECT_THAT(log, ::testing::ElementsAre(HasSubstr("removed " + std::to_string(left) + " temporary files")));
}

TEST_F(TranscriptArchiveTest, AFifoInPlaceOfTheFileIsRefusedNotWaitedOn) {
  ASSERT_EQ(mkfifo(url.c_str(), 0600), 0);
  auto archive = open();
  EXPECT_TRUE(archive->entries().empty());
  ASSERT_EQ(log.size(), 1u);
  EXPECT_THAT(log[0], HasSubstr("not a regular file"));
  archive->add("written");  // the FIFO is set aside, the archive written in its place
  EXPECT_EQ(platform::json::parse(readFile(url)).asArray().size(), 1u);
}

TEST_F(TranscriptArchiveTest, WithoutAFolderTheArchiveLivesInMemoryOnly) {
  TranscriptArchive archive({}, options());
  archive.add("kept");
  archive.clear();
  archive.add("again");
  ASSERT_EQ(archive.entries().size(), 1u);
  EXPECT_TRUE(log.empty());
}

// Points XDG_DATA_HOME, XDG_RUNTIME_DIR and TMPDIR elsewhere for one test.
class ArchiveLocationTest : public ::testing::Test {
 protected:
  ArchiveLocationTest() {
    for (const char* name : {"XDG_DATA_HOME", "XDG_RUNTIME_DIR", "TMPDIR"}) env_.keep(name);
  }
  testsupport::TempDir dir;

 private:
  testsupport::EnvironmentGuard env_;
};

TEST_F(ArchiveLocationTest, WithoutADataFolderTheArchiveNeverGoesToASharedFolder) {
  struct Case {
    bool privateFolderUsable;
    const char* expected;  // relative to the test folder; empty: in memory only
    const char* lastLog;
  };
  const Case cases[] = {
      {true, "run/parlet/Parlet/transcripts.json", "keeping transcripts in "},
      {false, "", "keeping transcripts in memory only"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.privateFolderUsable);
    std::filesystem::remove_all(dir.path());
    std::filesystem::create_directories(dir.path() / "run");
    std::filesystem::create_directories(dir.path() / "shared");
    writeFile(dir.path() / "file", "in the way");
    setenv("XDG_DATA_HOME", (dir.path() / "file" / "data").c_str(), 1);  // cannot be made
    setenv("XDG_RUNTIME_DIR", (dir.path() / (c.privateFolderUsable ? "run" : "file")).c_str(), 1);
    setenv("TMPDIR", (dir.path() / "shared").c_str(), 1);
    std::vector<std::string> log;
    std::filesystem::path location = TranscriptArchive::defaultLocation([&](const std::string& line) { log.push_back(line); });
    EXPECT_EQ(location, *c.expected ? dir.path() / c.expected : std::filesystem::path());
    EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "shared"));
    ASSERT_EQ(log.size(), 2u);
    EXPECT_THAT(log[0], HasSubstr("cannot make its folder"));
    EXPECT_THAT(log[1], HasSubstr(c.lastLog));
  }
}

// A data folder that is a link elsewhere is refused and said in the log; the archive keeps to
// the private folder.
TEST_F(ArchiveLocationTest, ADataFolderThatIsNotOursAndPrivateIsNotUsed) {
  std::filesystem::create_directories(dir.path() / "run");
  std::filesystem::create_directories(dir.path() / "data");
  std::filesystem::create_directories(dir.path() / "shared");
  std::filesystem::create_directory_symlink(dir.path() / "shared", dir.path() / "data" / "Parlet");
  setenv("XDG_DATA_HOME", (dir.path() / "data").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (dir.path() / "run").c_str(), 1);
  std::vector<std::string> log;
  std::filesystem::path location = TranscriptArchive::defaultLocation([&](const std::string& line) { log.push_back(line); });
  EXPECT_EQ(location, dir.path() / "run/parlet/Parlet/transcripts.json");
  EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "shared"));
  ASSERT_EQ(log.size(), 2u);
  EXPECT_THAT(log[0], HasSubstr((dir.path() / "data" / "Parlet").string() + " is a symbolic link"));
}

}  // namespace
}  // namespace parlet
