#include "Murmel/DecodingOptions.h"

#include <cmath>

#include <gtest/gtest.h>

namespace json = platform::json;
using namespace murmel;

namespace {

const char* kDefaultJson =
    R"({"verbose":false,"task":{"transcribe":{}},"temperature":0,"temperatureIncrementOnFallback":0.2,)"
    R"("temperatureFallbackCount":5,"sampleLength":224,"topK":5,"usePrefillPrompt":true,"usePrefillCache":true,)"
    R"("detectLanguage":false,"skipSpecialTokens":false,"withoutTimestamps":false,"wordTimestamps":false,)"
    R"("clipTimestamps":[],"windowClipTime":1,"suppressBlank":false,"supressTokens":[],)"
    R"("compressionRatioThreshold":2.4,"logProbThreshold":-1,"firstTokenLogProbThreshold":-1.5,)"
    R"("noSpeechThreshold":0.6,"concurrentWorkerCount":16})";

TEST(DecodingOptionsTest, DefaultEncodesTheTwentyTwoKeysInFieldOrder) {
  DecodingOptions defaults;
  EXPECT_EQ(json::write(defaults.toJson()), kDefaultJson);
  EXPECT_EQ(defaults.toJson().asObject().size(), 22u);
  EXPECT_EQ(DecodingOptions::fromJson(json::parse(kDefaultJson)), defaults);
  EXPECT_EQ(DecodingOptions(DecodingOptions::Arguments{}), defaults);
}

TEST(DecodingOptionsTest, EveryFieldSetRoundTripsWithAllTwentyEightKeys) {
  DecodingOptions o({
      .verbose = true,
      .task = DecodingTask::translate,
      .language = "de",
      .temperature = 0.4f,
      .temperatureIncrementOnFallback = 0.1f,
      .temperatureFallbackCount = 2,
      .sampleLength = 100,
      .topK = 3,
      .usePrefillPrompt = false,
      .usePrefillCache = false,
      .detectLanguage = false,
      .skipSpecialTokens = true,
      .withoutTimestamps = true,
      .wordTimestamps = true,
      .maxInitialTimestamp = 1.5f,
      .maxWindowSeek = 480000,
      .clipTimestamps = {0.5f, 12.25f, 30.0f},
      .windowClipTime = 0.75f,
      .promptTokens = std::vector<std::int64_t>{1, 2},
      .prefixTokens = std::vector<std::int64_t>{},
      .suppressBlank = true,
      .supressTokens = std::vector<std::int64_t>{-1, 50362},
      .compressionRatioThreshold = std::nullopt,
      .logProbThreshold = -2.0f,
      .firstTokenLogProbThreshold = std::nullopt,
      .noSpeechThreshold = 0.3f,
      .concurrentWorkerCount = 4,
      .chunkingStrategy = ChunkingStrategy::vad,
  });
  json::Value encoded = o.toJson();
  EXPECT_EQ(encoded.asObject().size(), 26u);  // two thresholds absent
  EXPECT_EQ(json::write(encoded.at("task")), R"({"translate":{}})");
  EXPECT_EQ(json::write(encoded.at("chunkingStrategy")), R"("vad")");
  EXPECT_EQ(json::write(encoded.at("clipTimestamps")), "[0.5,12.25,30]");
  EXPECT_EQ(DecodingOptions::fromJson(json::parse(json::write(encoded))), o);
  EXPECT_EQ(DecodingOptions::fromJson(json::parse(json::write(encoded, {.pretty = true}))), o);
}

TEST(DecodingOptionsTest, DerivedDefaultsOfTheInitialiser) {
  EXPECT_TRUE(DecodingOptions({.usePrefillPrompt = false}).detectLanguage);
  EXPECT_FALSE(DecodingOptions({.usePrefillPrompt = false, .detectLanguage = false}).detectLanguage);
  EXPECT_TRUE(DecodingOptions({.detectLanguage = true}).detectLanguage);
  DecodingOptions d(DecodingOptions::Arguments{});
  EXPECT_TRUE(d.supressTokens.empty());
  EXPECT_EQ(d.concurrentWorkerCount, 16);
  EXPECT_EQ(d.compressionRatioThreshold, 2.4f);
  EXPECT_EQ(d.logProbThreshold, -1.0f);
  EXPECT_EQ(d.firstTokenLogProbThreshold, -1.5f);
  EXPECT_EQ(d.noSpeechThreshold, 0.6f);
  EXPECT_FALSE(d.chunkingStrategy.has_value());
}

TEST(DecodingOptionsTest, DecodingRejectsWhatTheFormatRejects) {
  auto without = [](const std::string& key) {
    json::Value v = json::parse(kDefaultJson);
    auto& o = v.asObject();
    o.erase(std::find_if(o.begin(), o.end(), [&](const json::Member& m) { return m.first == key; }));
    return v;
  };
  auto with = [](const std::string& key, json::Value value) {
    json::Value v = json::parse(kDefaultJson);
    v.set(key, std::move(value));
    return v;
  };
  struct Case {
    const char* name;
    json::Value document;
    json::DecodingError::Kind kind;
  };
  json::Value doubleP = without("supressTokens");
  doubleP.set("suppressTokens", json::Array{});
  const Case cases[] = {
      {"empty object", json::parse("{}"), json::DecodingError::Kind::keyNotFound},
      {"not an object", json::parse("[1]"), json::DecodingError::Kind::typeMismatch},
      {"two-p spelling only", doubleP, json::DecodingError::Kind::keyNotFound},
      {"derived key required", without("detectLanguage"), json::DecodingError::Kind::keyNotFound},
      {"worker count required", without("concurrentWorkerCount"), json::DecodingError::Kind::keyNotFound},
      {"bool as number", with("verbose", 1), json::DecodingError::Kind::typeMismatch},
      {"count as text", with("topK", "5"), json::DecodingError::Kind::typeMismatch},
      {"null required", with("sampleLength", nullptr), json::DecodingError::Kind::valueNotFound},
      {"task with no known key", with("task", json::Object{{"x", json::Object{}}}),
       json::DecodingError::Kind::typeMismatch},
      {"task with both keys",
       with("task", json::Object{{"transcribe", json::Object{}}, {"translate", json::Object{}}}),
       json::DecodingError::Kind::typeMismatch},
      {"task value not an object", with("task", json::Object{{"translate", 1}}),
       json::DecodingError::Kind::typeMismatch},
      {"unknown chunking strategy", with("chunkingStrategy", "VAD"), json::DecodingError::Kind::dataCorrupted},
      {"fractional count", with("topK", 2.5), json::DecodingError::Kind::dataCorrupted},
  };
  for (const auto& c : cases) {
    try {
      DecodingOptions::fromJson(c.document);
      ADD_FAILURE() << c.name << " decoded";
    } catch (const json::DecodingError& e) {
      EXPECT_EQ(e.kind, c.kind) << c.name << ": " << e.what();
    }
  }
  try {
    DecodingOptions::fromJson(json::parse("{}"));
  } catch (const json::DecodingError& e) {
    EXPECT_NE(std::string(e.what()).find("verbose"), std::string::npos);
  }
  try {
    decodingTaskFromJson(json::parse("{}"));
  } catch (const json::DecodingError& e) {
    EXPECT_STREQ(e.what(), "Invalid number of keys found, expected one.");
  }
}

TEST(DecodingOptionsTest, OptionalKeysMayBeNullOrMissingAndUnknownKeysAreIgnored) {
  json::Value v = json::parse(kDefaultJson);
  v.set("language", nullptr);
  v.set("chunkingStrategy", nullptr);
  v.set("noSpeechThreshold", nullptr);
  v.set("somethingElse", json::Array{1, 2});
  v.set("task", json::Object{{"transcribe", json::Object{{"ignored", 1}}}, {"other", 2}});
  DecodingOptions o = DecodingOptions::fromJson(v);
  EXPECT_FALSE(o.language.has_value());
  EXPECT_FALSE(o.noSpeechThreshold.has_value());
  EXPECT_EQ(o.task, DecodingTask::transcribe);
}

TEST(DecodingOptionsTest, NonFiniteValuesMakeTheWriterFail) {
  DecodingOptions o;
  o.temperature = NAN;
  try {
    json::write(o.toJson());
    ADD_FAILURE();
  } catch (const json::EncodingError& e) {
    EXPECT_STREQ(e.what(), "Unable to encode Float.nan directly in JSON.");
  }
}

TEST(DecodingTaskTest, CasesAndChunkingRawValues) {
  EXPECT_EQ(description(DecodingTask::transcribe), "transcribe");
  EXPECT_EQ(description(DecodingTask::translate), "translate");
  EXPECT_EQ(allDecodingTasks().size(), 2u);
  EXPECT_EQ(decodingTaskFromJson(json::parse(R"({"translate":{}})")), DecodingTask::translate);
  EXPECT_EQ(chunkingStrategyFromRawValue("vad"), ChunkingStrategy::vad);
  EXPECT_EQ(chunkingStrategyFromRawValue("none"), ChunkingStrategy::none);
  EXPECT_FALSE(chunkingStrategyFromRawValue("VAD").has_value());
  EXPECT_EQ(allChunkingStrategies(), (std::vector<ChunkingStrategy>{ChunkingStrategy::none, ChunkingStrategy::vad}));
}

}  // namespace
