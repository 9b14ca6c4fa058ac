#include "Murmel/data/TranscriptionResult.h"

#include <cmath>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KestrumCore/tests/LogCapture.h"

namespace json = platform::json;
using namespace murmel;

namespace {

using testsupport::LogCapture;

TranscriptionSegment segment(std::int64_t id, float start, float end, std::string text,
                             std::vector<std::int64_t> tokens = {}) {
  TranscriptionSegment s;
  s.id = id;
  s.start = start;
  s.end = end;
  s.text = std::move(text);
  s.tokens = std::move(tokens);
  return s;
}

TEST(TranscriptionResultTest, SeekTimeIsNullInTheResultAndMissingInTheStruct) {
  TranscriptionSegment s = segment(0, 0.5f, 2.25f, " Hello.", {50364, 2425});
  s.seek = 0;
  s.tokenLogProbs = {{{50364, -0.25f}}, {{2425, -1.5f}}};
  s.temperature = 0.2f;
  s.avgLogprob = -0.5f;
  s.compressionRatio = 1.25f;
  s.noSpeechProb = 0.1f;
  TranscriptionResult result(" Hello.", {s}, "en", TranscriptionTimings{});
  TranscriptionResultStruct plain{" Hello.", {s}, "en", TranscriptionTimings{}, std::nullopt};

  const std::string segmentJson =
      R"({"id":0,"seek":0,"start":0.5,"end":2.25,"text":" Hello.","tokens":[50364,2425],)"
      R"("tokenLogProbs":[{"50364":-0.25},{"2425":-1.5}],"temperature":0.2,"avgLogprob":-0.5,)"
      R"("compressionRatio":1.25,"noSpeechProb":0.1})";
  const std::string timingsJson =
      R"({"pipelineStart":1.7976931348623157e+308,"firstTokenTime":1.7976931348623157e+308,)"
      R"("inputAudioSeconds":0.001,"modelLoading":0,"prewarmLoadTime":0,"encoderLoadTime":0,"decoderLoadTime":0,)"
      R"("encoderSpecializationTime":0,"decoderSpecializationTime":0,"tokenizerLoadTime":0,"audioLoading":0,)"
      R"("audioProcessing":0,"logmels":0,"encoding":0,"prefill":0,"decodingInit":0,"decodingLoop":0,)"
      R"("decodingPredictions":0,"decodingFiltering":0,"decodingSampling":0,"decodingFallback":0,)"
      R"("decodingWindowing":0,"decodingKvCaching":0,"decodingWordTimestamps":0,"decodingNonPrediction":0,)"
      R"("totalAudioProcessingRuns":0,"totalLogmelRuns":0,"totalEncodingRuns":0,"totalDecodingLoops":0,)"
      R"("totalKVUpdateRuns":0,"totalTimestampAlignmentRuns":0,"totalDecodingFallbacks":0,)"
      R"("totalDecodingWindows":0,"fullPipeline":0})";
  const std::string head = R"({"text":" Hello.","segments":[)" + segmentJson +
                           R"(],"language":"en","timings":)" + timingsJson;

  EXPECT_EQ(json::write(result.toJson(), {.escapeSlashes = true}), head + R"(,"seekTime":null})");
  EXPECT_EQ(json::write(plain.toJson()), head + "}");

  // Round trips, and the key requirement differs between the two forms.
  auto back = TranscriptionResult::fromJson(json::parse(head + R"(,"seekTime":null})"));
  EXPECT_FALSE(back.seekTime().has_value());
  EXPECT_EQ(back.segments(), std::vector<TranscriptionSegment>{s});
  EXPECT_EQ(back.timings(), TranscriptionTimings{});
  EXPECT_EQ(TranscriptionResultStruct::fromJson(json::parse(head + "}")), plain);
  try {
    TranscriptionResult::fromJson(json::parse(head + "}"));
    ADD_FAILURE() << "a result without the seekTime key decoded";
  } catch (const json::DecodingError& e) {
    EXPECT_EQ(e.kind, json::DecodingError::Kind::keyNotFound);
  }

  result.setSeekTime(12.5f);
  auto withSeek = TranscriptionResult::fromJson(result.toJson());
  EXPECT_EQ(withSeek.seekTime(), std::optional<float>(12.5f));
}

TEST(TranscriptionResultTest, WordsAreLeftOutWhenAbsentAndSkippedByAllWords) {
  TranscriptionSegment noWords = segment(0, 0, 1, "a");
  TranscriptionSegment emptyWords = segment(1, 1, 2, "b");
  emptyWords.words = std::vector<WordTiming>{};
  TranscriptionSegment twoWords = segment(2, 2, 3, "c d");
  twoWords.words = std::vector<WordTiming>{{" c", {10}, 2.0f, 2.5f, 0.9f}, {" d", {11, 12}, 2.5f, 3.0f, 0.75f}};

  EXPECT_EQ(noWords.toJson().find("words"), nullptr);
  EXPECT_EQ(json::write(emptyWords.toJson().at("words")), "[]");
  EXPECT_EQ(json::write(twoWords.toJson().at("words")),
            R"([{"word":" c","tokens":[10],"start":2,"end":2.5,"probability":0.9},)"
            R"({"word":" d","tokens":[11,12],"start":2.5,"end":3,"probability":0.75}])");

  TranscriptionResult result("a b c d", {noWords, emptyWords, twoWords}, "en", {});
  auto words = result.allWords();
  ASSERT_EQ(words.size(), 2u);
  EXPECT_EQ(words[0].word, " c");
  EXPECT_EQ(words[1].word, " d");
  EXPECT_FLOAT_EQ(words[1].duration(), 0.5f);

  for (const auto& s : {noWords, emptyWords, twoWords}) EXPECT_EQ(TranscriptionSegment::fromJson(s.toJson()), s);
}

TEST(TranscriptionResultTest, MalformedDocumentsGiveDecodingErrors) {
  struct Case {
    const char* name;
    std::string text;
  };
  TranscriptionSegment s = segment(0, 0, 1, "x", {1});
  s.tokenLogProbs = {{{1, -0.5f}}};
  std::string good = json::write(s.toJson());
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string t = good;
    t.replace(t.find(from), from.size(), to);
    return t;
  };
  const Case cases[] = {
      {"not an object", "[]"},
      {"missing id", replace(R"("id":0,)", "")},
      {"id as text", replace(R"("id":0)", R"("id":"0")")},
      {"fractional id", replace(R"("id":0)", R"("id":0.5)")},
      {"token key not a number", replace(R"({"1":-0.5})", R"({"one":-0.5})")},
      {"token key with junk", replace(R"({"1":-0.5})", R"({"1x":-0.5})")},
      {"words not a list", replace(R"("noSpeechProb":0})", R"("noSpeechProb":0,"words":{}})")},
      {"null start", replace(R"("start":0)", R"("start":null)")},
  };
  for (const auto& c : cases) {
    EXPECT_THROW(TranscriptionSegment::fromJson(json::parse(c.text)), json::DecodingError) << c.name;
  }
  EXPECT_THROW(TranscriptionResult::fromJson(json::parse("{}")), json::DecodingError);
  EXPECT_THROW(TranscriptionTimings::fromJson(json::parse(R"({"pipelineStart":1})")), json::DecodingError);
}

TEST(TranscriptionResultTest, TokenLogProbKeysReadAsSignedDecimalIds) {
  auto decode = [](const std::string& key) {
    std::string text = R"({"id":0,"seek":0,"start":0,"end":1,"text":"x","tokens":[1],"tokenLogProbs":[{")" + key +
                       R"(":-0.5}],"temperature":0,"avgLogprob":0,"compressionRatio":0,"noSpeechProb":0})";
    return TranscriptionSegment::fromJson(json::parse(text)).tokenLogProbs.at(0);
  };
  const std::pair<const char*, std::int64_t> accepted[] = {{"50363", 50363}, {"-1", -1}, {"+7", 7}, {"007", 7}};
  for (const auto& [key, token] : accepted) {
    EXPECT_EQ(decode(key), (std::map<std::int64_t, float>{{token, -0.5f}})) << key;
  }
  const char* rejected[] = {"one", "1x", "", "+", "+-1", " 1", "99999999999999999999"};
  for (const char* key : rejected) {
    try {
      decode(key);
      ADD_FAILURE() << "key \"" << key << "\" decoded";
    } catch (const json::DecodingError& e) {
      EXPECT_EQ(e.kind, json::DecodingError::Kind::typeMismatch) << key;
    }
  }
}

TEST(TranscriptionResultTest, NonFiniteNumbersMakeTheWriterFail) {
  TranscriptionTimings t;
  t.fullPipeline = NAN;
  TranscriptionResult result("", {}, "en", t);
  EXPECT_THROW(json::write(result.toJson()), json::EncodingError);
  TranscriptionSegment s = segment(0, 0, INFINITY, "x");
  EXPECT_THROW(json::write(s.toJson()), json::EncodingError);
}

TEST(TranscriptionTimingsTest, DefaultsAndDerivedFigures) {
  TranscriptionTimings t;
  EXPECT_EQ(t.pipelineStart, std::numeric_limits<double>::max());
  EXPECT_EQ(t.inputAudioSeconds, 0.001);
  t.fullPipeline = 2;
  EXPECT_DOUBLE_EQ(t.realTimeFactor(), 2000);
  t.fullPipeline = 0;
  EXPECT_EQ(t.realTimeFactor(), 0);
  EXPECT_FALSE(std::isfinite(t.speedFactor()));
  EXPECT_TRUE(std::isnan(t.tokensPerSecond()));
}

TEST(TranscriptionResultTest, TimingsReportMatchesTheGoldenText) {
  TranscriptionTimings t;
  t.pipelineStart = 100.0;
  t.firstTokenTime = 100.35;
  t.inputAudioSeconds = 10.0;
  t.modelLoading = 3.21;
  t.prewarmLoadTime = 1.5;
  t.encoderLoadTime = 0.75;
  t.decoderLoadTime = 0.5;
  t.tokenizerLoadTime = 0.25;
  t.audioLoading = 0.1;
  t.audioProcessing = 0.05;
  t.logmels = 0.04;
  t.encoding = 0.3;
  t.prefill = 0.02;
  t.decodingInit = 0.01;
  t.decodingLoop = 2.5;  // longer than fullPipeline: percentages are taken against it
  t.decodingPredictions = 0.8;
  t.decodingFiltering = 0.05;
  t.decodingSampling = 0.03;
  t.decodingFallback = 0.4;
  t.decodingWindowing = 0.15;
  t.decodingKvCaching = 0.06;
  t.decodingWordTimestamps = 0.1;
  t.decodingNonPrediction = 0.2;
  t.totalAudioProcessingRuns = 2;
  t.totalLogmelRuns = 2;
  t.totalEncodingRuns = 2;
  t.totalDecodingLoops = 50;
  t.totalKVUpdateRuns = 50;
  t.totalTimestampAlignmentRuns = 2;
  t.totalDecodingFallbacks = 1;
  t.totalDecodingWindows = 2;
  t.fullPipeline = 2.0;
  TranscriptionResult result("", {segment(0, 0, 1, "a", {1, 2, 3}), segment(1, 1, 2, "b", {4, 5, 6, 7})}, "en", t);

  const std::string expected =
      "---- Transcription Timings ----\n"
      "Audio Load:            100.00 ms /      1 runs (  100.00 ms/run)  4.00%\n"
      "Audio Processing:       50.00 ms /      2 runs (   25.00 ms/run)  2.00%\n"
      "Mels:                   40.00 ms /      2 runs (   20.00 ms/run)  1.60%\n"
      "Encoding:              300.00 ms /      2 runs (  150.00 ms/run) 12.00%\n"
      "Matrices Init:          10.00 ms /      1 runs (   10.00 ms/run)  0.40%\n"
      "Prefill:                20.00 ms /      1 runs (   20.00 ms/run)  0.80%\n"
      "Decoding:              800.00 ms /     50 runs (   16.00 ms/run) 32.00%\n"
      "Non-inference:         200.00 ms /     50 runs (    4.00 ms/run)  8.00%\n"
      "- Logit Filtering:      50.00 ms /     50 runs (    1.00 ms/run)  2.00%\n"
      "- Sampling:             30.00 ms /     50 runs (    0.60 ms/run)  1.20%\n"
      "- Kv Caching:           60.00 ms /     50 runs (    1.20 ms/run)  2.40%\n"
      "- Word Timestamps:     100.00 ms /      2 runs (   50.00 ms/run)  4.00%\n"
      "- Windowing:            50.00 ms /      2 runs (   25.00 ms/run)  2.00%\n"
      "Fallbacks:             400.00 ms /      1 runs (  400.00 ms/run) 16.00%\n"
      "Decoding Full Loop:   2500.00 ms /     50 runs (   50.00 ms/run) 100.00%\n"
      "-------------------------------\n"
      "Model Load Time:               3.21 seconds\n"
      "- Prewarm:                     1.50 seconds\n"
      "- Encoder:                     0.75 seconds\n"
      "- Decoder:                     0.50 seconds\n"
      "- Tokenizer:                   0.25 seconds\n"
      "Inference Duration (Global):   2.00 seconds\n"
      "- Decoding Loop (Avg/window):  1.25 seconds\n"
      "- Audio Windows:               2.00\n"
      "Time to first token:           0.35 seconds\n"
      "Total Tokens:                  7\n"
      "Tokens per Second:             25.00 tok/s\n"
      "Real Time Factor:              0.200\n"
      "Speed Factor:                  5.000\n"
      "Fallbacks:                     1.0";

  LogCapture capture(kestrum::Logging::LogLevel::info);
  result.logTimings();
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0], expected);
}

TEST(TranscriptionResultTest, TimingsReportOfFreshTimingsDoesNotFail) {
  TranscriptionResult result;
  std::string report = result.timingsReport();
  EXPECT_NE(report.find("Time to first token:           0.00 seconds"), std::string::npos);
  EXPECT_NE(report.find("- Decoding Loop (Avg/window):  nan seconds"), std::string::npos);
  EXPECT_NE(report.find("Fallbacks:                     0.0"), std::string::npos);
}

TEST(TranscriptionResultTest, LogSegmentsWritesOneDebugLinePerSegment) {
  TranscriptionResult result("", {segment(0, 0, 2.456f, " Hi"), segment(1, 2.456f, 3, " there")}, "en", {});
  {
    LogCapture capture(kestrum::Logging::LogLevel::debug);
    result.logSegments();
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{"[Segment 0] [0.00 --> 2.46]  Hi", "[Segment 1] [2.46 --> 3.00]  there"}));
  }
  LogCapture quiet(kestrum::Logging::LogLevel::info);
  result.logSegments();
  EXPECT_TRUE(quiet.lines().empty());
}

TEST(TranscriptionResultTest, ConcurrentInPlaceChangesOfOneFieldAreNotLost) {
  TranscriptionResult result;
  auto work = [&] {
    for (int i = 0; i < 2000; ++i) {
      result.modifySegments([](std::vector<TranscriptionSegment>& segments) { segments.emplace_back(); });
      result.modifyTimings([](TranscriptionTimings& t) { t.totalDecodingLoops += 1; });
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(result.segments().size(), 4000u);
  EXPECT_EQ(result.timings().totalDecodingLoops, 4000);
}

TEST(TranscriptionStateTest, Descriptions) {
  EXPECT_EQ(description(TranscriptionState::convertingAudio), "Converting Audio");
  EXPECT_EQ(description(TranscriptionState::transcribing), "Transcribing");
  EXPECT_EQ(description(TranscriptionState::finished), "Finished");
}

}  // namespace
