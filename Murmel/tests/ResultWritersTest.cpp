#include "Murmel/transcription/ResultWriters.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "testsupport/Fixtures.h"

namespace fs = std::filesystem;
using namespace murmel;

namespace {

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TranscriptionSegment segment(float start, float end, std::string text,
                             std::optional<std::vector<WordTiming>> words = std::nullopt) {
  TranscriptionSegment s;
  s.start = start;
  s.end = end;
  s.text = std::move(text);
  s.words = std::move(words);
  return s;
}

TEST(ResultWritingTest, FormatTimeTable) {
  struct Case {
    float seconds;
    bool alwaysIncludeHours;
    const char* marker;
    const char* expected;
  };
  const Case cases[] = {
      {3725.5f, false, ".", "01:02:05.500"},  // hours shown because not zero
      {65.25f, false, ".", "01:05.250"},
      {65.25f, true, ",", "00:01:05,250"},
      {0.0f, false, ".", "00:00.000"},
      {0.0f, true, ",", "00:00:00,000"},
      {2.3f, true, ",", "00:00:02,299"},  // truncated, not rounded
      {59.9999f, false, ".", "00:59.999"},
      {360000.0f, false, ".", "100:00:00.000"},
      {1.5f, false, "", "00:01500"},
  };
  WriteSRT writer("/nonexistent");
  for (const auto& c : cases)
    EXPECT_EQ(writer.formatTime(c.seconds, c.alwaysIncludeHours, c.marker), c.expected) << c.seconds;
  // Not finite or huge: some text, no crash.
  writer.formatTime(NAN, true, ",");
  writer.formatTime(INFINITY, false, ".");
  writer.formatTime(-INFINITY, false, ".");
  writer.formatTime(3.0e38f, false, ".");
}

TEST(ResultWritingTest, CueFormats) {
  WriteVTT writer("/nonexistent");
  EXPECT_EQ(writer.formatSegment(7, 1.0f, 2.5f, " Hi"), "7\n00:00:01,000 --> 00:00:02,500\n Hi\n\n");
  EXPECT_EQ(writer.formatTiming(1.0f, 3601.0f, " Hi"), "00:01.000 --> 01:00:01.000\n Hi\n\n");
}

class ResultWritersFileTest : public ::testing::Test {
 protected:
  testsupport::TempDir dir;
  std::string out() const { return dir.path().string(); }
};

TEST_F(ResultWritersFileTest, WordCuesNumberAcrossSegments) {
  std::vector<WordTiming> words{{" one", {1}, 0.0f, 0.5f, 0.9f}, {" two", {2}, 0.5f, 1.0f, 0.9f},
                                {" three", {3}, 1.0f, 1.5f, 0.9f}};
  TranscriptionResult result("", {segment(0, 1.5f, " one two three", words),
                                  segment(1.5f, 2.0f, " four", std::vector<WordTiming>{}), segment(2, 3, " five")},
                             "en", {});

  WriteResult srt = WriteSRT(out()).write(result, "name");
  ASSERT_TRUE(srt.succeeded()) << srt.errorMessage();
  EXPECT_EQ(srt.url(), "file://" + (dir.path() / "name.srt").string());
  EXPECT_EQ(slurp(dir.path() / "name.srt"),
            "1\n00:00:00,000 --> 00:00:00,500\n one\n\n"
            "2\n00:00:00,500 --> 00:00:01,000\n two\n\n"
            "3\n00:00:01,000 --> 00:00:01,500\n three\n\n"
            "4\n00:00:01,500 --> 00:00:02,000\n four\n\n"
            "5\n00:00:02,000 --> 00:00:03,000\n five\n\n");

  ASSERT_TRUE(WriteVTT(out()).write(result, "name").succeeded());
  EXPECT_EQ(slurp(dir.path() / "name.vtt"),
            "WEBVTT\n\n"
            "00:00.000 --> 00:00.500\n one\n\n"
            "00:00.500 --> 00:01.000\n two\n\n"
            "00:01.000 --> 00:01.500\n three\n\n"
            "00:01.500 --> 00:02.000\n four\n\n"
            "00:02.000 --> 00:03.000\n five\n\n");

  ASSERT_TRUE(WriteJSON(out()).write(result, "name").succeeded());
  auto back = TranscriptionResult::fromJson(platform::json::parseFile((dir.path() / "name.json").string()));
  EXPECT_EQ(back.segments(), result.segments());

  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path())) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"name.json", "name.srt", "name.vtt"}));  // no temporaries left
}

TEST_F(ResultWritersFileTest, EmptyResultAndPrettyJson) {
  TranscriptionResult result("", {}, "en", {});
  ASSERT_TRUE(WriteSRT(out()).write(result, "e").succeeded());
  ASSERT_TRUE(WriteVTT(out()).write(result, "e").succeeded());
  ASSERT_TRUE(WriteJSON(out()).write(result, "e").succeeded());
  EXPECT_EQ(slurp(dir.path() / "e.srt"), "");
  EXPECT_EQ(slurp(dir.path() / "e.vtt"), "WEBVTT\n\n");
  std::string text = slurp(dir.path() / "e.json");
  EXPECT_EQ(text.substr(0, 48), "{\n  \"text\" : \"\",\n  \"segments\" : [],\n  \"language\"");
  EXPECT_NE(text.find("\n  \"seekTime\" : null\n}"), std::string::npos);
}

TEST_F(ResultWritersFileTest, MissingFolderAndUnencodableResultAreFailures) {
  TranscriptionResult result("", {segment(0, 1, "x")}, "en", {});
  fs::path missing = dir.path() / "missing";
  std::vector<std::unique_ptr<ResultWriting>> writers;
  writers.push_back(std::make_unique<WriteJSON>(missing.string()));
  writers.push_back(std::make_unique<WriteSRT>(missing.string()));
  writers.push_back(std::make_unique<WriteVTT>(missing.string()));
  for (auto& writer : writers) {
    WriteResult r = writer->write(result, "x");
    EXPECT_FALSE(r.succeeded());
    EXPECT_FALSE(r.errorMessage().empty());
  }
  EXPECT_FALSE(fs::exists(missing));

  TranscriptionTimings t;
  t.fullPipeline = INFINITY;
  WriteResult r = WriteJSON(out()).write(TranscriptionResult("", {}, "en", t), "bad");
  EXPECT_FALSE(r.succeeded());
  EXPECT_EQ(r.errorMessage(), "Unable to encode Double.infinity directly in JSON.");
  EXPECT_FALSE(fs::exists(dir.path() / "bad.json"));
}

TEST_F(ResultWritersFileTest, RootedBaseNameStaysInsideTheFolder) {
  // A name that starts with "/" is still one component added to the folder.
  fs::path folder = dir.path() / "out";
  fs::path nested = folder / dir.path().relative_path();
  fs::create_directories(nested);
  const std::string name = (dir.path() / "escaped").string();
  TranscriptionResult result("", {segment(0, 1, "x")}, "en", {});
  struct Case {
    std::unique_ptr<ResultWriting> writer;
    std::string extension;
  };
  Case cases[] = {{std::make_unique<WriteJSON>(folder.string()), ".json"},
                  {std::make_unique<WriteSRT>(folder.string()), ".srt"},
                  {std::make_unique<WriteVTT>(folder.string()), ".vtt"}};
  for (auto& c : cases) {
    WriteResult r = c.writer->write(result, name);
    ASSERT_TRUE(r.succeeded()) << r.errorMessage();
    EXPECT_EQ(r.url(), "file://" + (nested / ("escaped" + c.extension)).string());
    EXPECT_TRUE(fs::exists(nested / ("escaped" + c.extension))) << c.extension;
    EXPECT_FALSE(fs::exists(dir.path() / ("escaped" + c.extension))) << c.extension;
  }
}

TEST_F(ResultWritersFileTest, UrlIsPercentEncoded) {
  fs::create_directory(dir.path() / "a b");
  WriteResult r = WriteVTT((dir.path() / "a b").string()).write(TranscriptionResult(), "é");
  ASSERT_TRUE(r.succeeded());
  EXPECT_EQ(r.url(), "file://" + dir.path().string() + "/a%20b/%C3%A9.vtt");
}

}  // namespace
