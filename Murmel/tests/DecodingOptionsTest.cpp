#include "Murmel/data/DecodingOptions.h"

#include <cmath>
#include <string_view>

#include <gmock/gmock.h>
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

// Fails unless `run` throws a DecodingError of `kind` whose message contains `message`.
template <class Run>
::testing::AssertionResult throwsDecodingError(Run&& run, json::DecodingError::Kind kind, std::string_view message = {}) {
  try {
    run();
  } catch (const json::DecodingError& e) {
    if (e.kind != kind)
      return ::testing::AssertionFailure() << "kind " << static_cast<int>(e.kind) << " instead of "
                                           << static_cast<int>(kind) << ": " << e.what();
    if (std::string_view(e.what()).find(message) == std::string_view::npos)
      return ::testing::AssertionFailure() << "message \"" << e.what() << "\" lacks \"" << message << "\"";
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "nothing thrown";
}

// Every field name, in field order.
const std::vector<std::string> kAllKeys = {
    "verbose", "task", "language", "temperature", "temperatureIncrementOnFallback", "temperatureFallbackCount",
    "sampleLength", "topK", "usePrefillPrompt", "usePrefillCache", "detectLanguage", "skipSpecialTokens",
    "withoutTimestamps", "wordTimestamps", "maxInitialTimestamp", "maxWindowSeek", "clipTimestamps",
    "windowClipTime", "promptTokens", "prefixTokens", "suppressBlank", "supressTokens", "compressionRatioThreshold",
    "logProbThreshold", "firstTokenLogProbThreshold", "noSpeechThreshold", "concurrentWorkerCount",
    "chunkingStrategy"};

std::vector<std::string> keysOf(const json::Value& object) {
  std::vector<std::string> keys;
  for (const auto& member : object.asObject()) keys.push_back(member.first);
  return keys;
}

TEST(DecodingOptionsTest, DefaultEncodesTheTwentyTwoKeysInFieldOrder) {
  DecodingOptions defaults;
  EXPECT_EQ(json::write(defaults.toJson()), kDefaultJson);
  EXPECT_EQ(defaults.toJson().asObject().size(), 22u);
  EXPECT_EQ(DecodingOptions::fromJson(json::parse(kDefaultJson)), defaults);
  EXPECT_EQ(DecodingOptions(DecodingOptions::Arguments{}), defaults);
}

DecodingOptions everyFieldSet() {
  return DecodingOptions({
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
      .compressionRatioThreshold = 2.0f,
      .logProbThreshold = -2.0f,
      .firstTokenLogProbThreshold = -0.5f,
      .noSpeechThreshold = 0.3f,
      .concurrentWorkerCount = 4,
      .chunkingStrategy = ChunkingStrategy::vad,
  });
}

TEST(DecodingOptionsTest, EveryFieldSetRoundTripsWithAllTwentyEightKeys) {
  const DecodingOptions o = everyFieldSet();
  json::Value encoded = o.toJson();
  ASSERT_EQ(kAllKeys.size(), 28u);
  EXPECT_EQ(keysOf(encoded), kAllKeys);
  EXPECT_EQ(json::write(encoded.at("task")), R"({"translate":{}})");
  EXPECT_EQ(json::write(encoded.at("chunkingStrategy")), R"("vad")");
  EXPECT_EQ(json::write(encoded.at("clipTimestamps")), "[0.5,12.25,30]");
  EXPECT_EQ(json::write(encoded.at("prefixTokens")), "[]");
  EXPECT_EQ(DecodingOptions::fromJson(json::parse(json::write(encoded))), o);
  EXPECT_EQ(DecodingOptions::fromJson(json::parse(json::write(encoded, {.pretty = true}))), o);
}

TEST(DecodingOptionsTest, AbsentOptionalsLeaveTheirKeysOutAndRoundTrip) {
  DecodingOptions o = everyFieldSet();
  o.compressionRatioThreshold.reset();
  o.firstTokenLogProbThreshold.reset();
  json::Value encoded = o.toJson();
  std::vector<std::string> expected = kAllKeys;
  std::erase(expected, "compressionRatioThreshold");
  std::erase(expected, "firstTokenLogProbThreshold");
  EXPECT_EQ(keysOf(encoded), expected);
  EXPECT_EQ(DecodingOptions::fromJson(json::parse(json::write(encoded))), o);
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
    const char* message = "";  // a part of the message
  };
  json::Value doubleP = without("supressTokens");
  doubleP.set("suppressTokens", json::Array{});
  const Case cases[] = {
      {"empty object", json::parse("{}"), json::DecodingError::Kind::keyNotFound, "verbose"},
      {"not an object", json::parse("[1]"), json::DecodingError::Kind::typeMismatch},
      {"two-p spelling only", doubleP, json::DecodingError::Kind::keyNotFound, "supressTokens"},
      {"derived key required", without("detectLanguage"), json::DecodingError::Kind::keyNotFound, "detectLanguage"},
      {"worker count required", without("concurrentWorkerCount"), json::DecodingError::Kind::keyNotFound,
       "concurrentWorkerCount"},
      {"bool as number", with("verbose", 1), json::DecodingError::Kind::typeMismatch},
      {"count as text", with("topK", "5"), json::DecodingError::Kind::typeMismatch},
      {"null required", with("sampleLength", nullptr), json::DecodingError::Kind::valueNotFound},
      {"task with no known key", with("task", json::Object{{"x", json::Object{}}}),
       json::DecodingError::Kind::typeMismatch, "Invalid number of keys found, expected one."},
      {"task with both keys",
       with("task", json::Object{{"transcribe", json::Object{}}, {"translate", json::Object{}}}),
       json::DecodingError::Kind::typeMismatch, "Invalid number of keys found, expected one."},
      {"task value not an object", with("task", json::Object{{"translate", 1}}),
       json::DecodingError::Kind::typeMismatch},
      {"unknown chunking strategy", with("chunkingStrategy", "VAD"), json::DecodingError::Kind::dataCorrupted, "VAD"},
      {"fractional count", with("topK", 2.5), json::DecodingError::Kind::dataCorrupted},
  };
  for (const auto& c : cases)
    EXPECT_TRUE(throwsDecodingError([&] { DecodingOptions::fromJson(c.document); }, c.kind, c.message)) << c.name;
  EXPECT_TRUE(throwsDecodingError([] { decodingTaskFromJson(json::parse("{}")); },
                                  json::DecodingError::Kind::typeMismatch,
                                  "Invalid number of keys found, expected one."));
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
  EXPECT_THAT([&] { json::write(o.toJson()); },
              ::testing::ThrowsMessage<json::EncodingError>(
                  ::testing::StrEq("Unable to encode Float.nan directly in JSON.")));
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
