#include "Murmel/data/ModelSupport.h"

#include <gtest/gtest.h>

#include "KestrumCore/tests/LogCapture.h"
#include "Murmel/data/Constants.h"
#include "Murmel/data/ModelVariant.h"

namespace json = platform::json;
using namespace murmel;

namespace {

using testsupport::LogCapture;

TEST(ModelSupportConfigTest, LookupPicksTheLongestPrefixAndFallsBackToTheDefault) {
  const auto& config = Constants::fallbackModelSupportConfig();
  struct Case {
    const char* device;
    const char* expectedDefault;
    std::size_t supported;
  };
  const Case cases[] = {
      {"iPad13,16", "openai_whisper-large-v3-v20240930_626MB", 13},  // "iPad13,16" beats "iPad13,1"
      {"iPad13,18", "openai_whisper-base", 6},
      {"iPad13,1", "openai_whisper-base", 6},
      {"Mac14,2", "openai_whisper-large-v3-v20240930", 22},
      {"MacBookPro18,3", "openai_whisper-large-v3-v20240930_626MB", 13},
      {"iPhone10,3", "openai_whisper-base", 22},
      {"x86_64", "openai_whisper-base", 22},
      {"", "openai_whisper-base", 22},
      {"mac14,2", "openai_whisper-base", 22},  // case-sensitive
  };
  for (const auto& c : cases) {
    ModelSupport support = config.modelSupport(c.device);
    EXPECT_EQ(support.defaultModel, c.expectedDefault) << c.device;
    EXPECT_EQ(support.supported.size(), c.supported) << c.device;
  }
  LogCapture capture;
  config.modelSupport("iPhone13,2");
  config.modelSupport("x86_64");
  EXPECT_EQ(capture.lines(),
            (std::vector<std::string>{
                R"(Matched iPhone13,2 to devices: ["iPhone13", "iPad13,1", "iPad13,2", "iPad13,18", "iPad13,19"])",
                "No device support found for x86_64, using default"}));
}

TEST(ModelSupportConfigTest, EqualLengthTiesGoToTheFirstRow) {
  ModelSupportConfig config("other", "1",
                            {{std::nullopt, {"AB"}, ModelSupport("first", {"m1"})},
                             {std::nullopt, {"AC", "AB"}, ModelSupport("second", {"m2"})},
                             {std::nullopt, {}, ModelSupport("empty", {"m3"})}});
  EXPECT_EQ(config.modelSupport("AB1").defaultModel, "first");
  EXPECT_EQ(config.modelSupport("AC1").defaultModel, "second");
  EXPECT_EQ(config.modelSupport("").defaultModel, "openai_whisper-base");
  EXPECT_EQ(config.knownModels(), (std::vector<std::string>{"m1", "m2", "m3"}));
  EXPECT_EQ(config.deviceSupports()[0].models.disabled, (std::vector<std::string>{"m2", "m3"}));
}

TEST(ModelSupportConfigTest, FallbackTableIsComplete) {
  const auto& config = Constants::fallbackModelSupportConfig();
  EXPECT_EQ(config.repoName(), "murmel-coreml-fallback");
  EXPECT_EQ(config.repoVersion(), "0.4");
  ASSERT_EQ(config.deviceSupports().size(), 6u);
  const auto& known = Constants::knownModels();
  ASSERT_EQ(known.size(), 22u);
  EXPECT_EQ(std::vector<std::string>(known.begin(), known.begin() + 4),
            (std::vector<std::string>{"openai_whisper-base", "openai_whisper-base.en", "openai_whisper-tiny",
                                      "openai_whisper-tiny.en"}));
  EXPECT_EQ(known[14], "openai_whisper-large-v2");
  EXPECT_EQ(known.back(), "openai_whisper-large-v3-v20240930_turbo");
  const std::size_t supportedCounts[] = {4, 14, 13, 22, 6, 14};
  for (std::size_t i = 0; i < 6; ++i) {
    const auto& models = config.deviceSupports()[i].models;
    EXPECT_EQ(models.supported.size(), supportedCounts[i]);
    EXPECT_EQ(models.supported.size() + models.disabled.size(), 22u);
    EXPECT_TRUE(config.deviceSupports()[i].chips.has_value());
  }
  EXPECT_TRUE(config.deviceSupports()[3].models.disabled.empty());
  EXPECT_EQ(config.defaultSupport().models.supported, known);
  EXPECT_FALSE(config.defaultSupport().chips.has_value());
}

TEST(ModelSupportConfigTest, RemoteTableOfTheSameRepositoryIsMergedWithTheFallback) {
  auto remote = ModelSupportConfig::fromJson(json::parse(R"({"name":"murmel-coreml","version":"1.0",
      "device_support":[{"identifiers":["Mac14"],"models":{"default":"new","supported":["new","openai_whisper-tiny"]}},
                        {"chips":"X","identifiers":["Nothing1"],"models":{"default":"x","supported":["x"]}}]})"));
  const auto& rows = remote.deviceSupports();
  ASSERT_EQ(rows.size(), 7u);  // 2 remote + fallback rows 1, 2, 3, 5, 6
  EXPECT_EQ(rows[0].identifiers, std::vector<std::string>{"Mac14"});
  EXPECT_EQ(rows[0].models.defaultModel, "new");
  ASSERT_EQ(rows[0].models.supported.size(), 23u);  // "new" + fallback row 4's 22, tiny not repeated
  EXPECT_EQ(rows[0].models.supported[0], "new");
  EXPECT_EQ(rows[0].models.supported[1], "openai_whisper-tiny");
  EXPECT_EQ(rows[0].models.supported[2], "openai_whisper-tiny.en");
  EXPECT_EQ(rows[1].identifiers, std::vector<std::string>{"Nothing1"});
  const auto& fallbackRows = Constants::fallbackModelSupportConfig().deviceSupports();
  const std::size_t takenOver[] = {0, 1, 2, 4, 5};
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(rows[2 + i].identifiers, fallbackRows[takenOver[i]].identifiers);
  EXPECT_EQ(remote.modelSupport("Mac14,2").defaultModel, "new");
  EXPECT_EQ(remote.knownModels().size(), 24u);  // 22 + "new" + "x"

  // Written back: only the three keys, no chips where there are none.
  EXPECT_TRUE(json::write(ModelSupportConfig("unrelated", "2", {rows[0]}).toJson())
                  .starts_with(R"({"name":"unrelated","version":"2","device_support":[{"identifiers":["Mac14"],)"
                               R"("models":{"default":"new","supported":["new","openai_whisper-tiny",)"));

  // A name that is no part of the fallback's is used unchanged.
  auto other = ModelSupportConfig::fromJson(json::parse(
      R"({"name":"someone-else","version":"1","device_support":[{"identifiers":["Mac14"],"models":{"default":"a","supported":["a"]}}]})"));
  EXPECT_EQ(other.deviceSupports().size(), 1u);
  EXPECT_EQ(other.knownModels(), std::vector<std::string>{"a"});
}

TEST(ModelSupportConfigTest, RemoteRowSharingTwoFallbackRowsMergesWithTheEarlierOnly) {
  ModelSupportConfig config("murmel-coreml", "1",
                            {{std::nullopt, {"iPhone14", "iPhone11"}, ModelSupport("d", {"only"})}});
  const auto& rows = config.deviceSupports();
  EXPECT_EQ(rows[0].models.supported.size(), 5u);  // "only" + fallback row 1's four
  EXPECT_EQ(rows.size(), 5u);                       // rows 1 and 6 are covered
}

TEST(ModelSupportConfigTest, EmptyConfigurationSupportsNothing) {
  ModelSupportConfig config("other", "1", {});
  EXPECT_TRUE(config.knownModels().empty());
  ModelSupport s = config.modelSupport("Mac14,2");
  EXPECT_EQ(s.defaultModel, "openai_whisper-base");
  EXPECT_TRUE(s.supported.empty());
}

TEST(ModelSupportConfigTest, MalformedDocumentsGiveDecodingErrors) {
  const char* documents[] = {
      "{}",
      R"({"name":"n","version":"1"})",
      R"({"name":1,"version":"1","device_support":[]})",
      R"({"name":"n","version":"1","device_support":{}})",
      R"({"name":"n","version":"1","device_support":[{"identifiers":["a"]}]})",
      R"({"name":"n","version":"1","device_support":[{"identifiers":"a","models":{"default":"d","supported":[]}}]})",
      R"({"name":"n","version":"1","device_support":[{"identifiers":["a"],"models":{"supported":[]}}]})",
      R"({"name":"n","version":"1","device_support":[{"chips":3,"identifiers":[],"models":{"default":"d","supported":[]}}]})",
  };
  for (const char* document : documents)
    EXPECT_THROW(ModelSupportConfig::fromJson(json::parse(document)), json::DecodingError) << document;
}

// A table of `rows` rows, each supporting `namesPerRow` names of its own.
std::string tableOf(std::size_t rows, std::size_t namesPerRow) {
  std::string text = R"({"name": "t", "version": "1", "device_support": [)";
  for (std::size_t r = 0; r < rows; ++r) {
    text += std::string(r ? "," : "") + R"({"identifiers": ["D)" + std::to_string(r) +
            R"("], "models": {"default": "m", "supported": [)";
    for (std::size_t n = 0; n < namesPerRow; ++n)
      text += std::string(n ? "," : "") + "\"m" + std::to_string(r) + "_" + std::to_string(n) + "\"";
    text += "]}}";
  }
  return text + "]}";
}

// Each row lists the known names it does not support, so rows times names is what a table costs;
// a table beyond what real ones hold is refused before its rows are built.
TEST(ModelSupportConfigTest, TablesBeyondTheBoundsOfRealOnesAreRefused) {
  struct Case {
    std::size_t rows, namesPerRow;
    const char* refusal;  // nothing: read
  } cases[] = {
      {ModelSupportConfig::maxRows, 2, nullptr},  // 256 rows, 512 names
      {ModelSupportConfig::maxRows + 1, 1, "has 257 rows; at most 256 are read"},
      {128, 4, nullptr},
      {171, 3, "names more than 512 models"},
      {5000, 1, "has 5000 rows"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.rows) + " rows of " + std::to_string(c.namesPerRow));
    const json::Value document = json::parse(tableOf(c.rows, c.namesPerRow));
    if (!c.refusal) {
      const auto config = ModelSupportConfig::fromJson(document);
      ASSERT_EQ(config.deviceSupports().size(), c.rows);
      EXPECT_EQ(config.knownModels().size(), c.rows * c.namesPerRow);
      EXPECT_EQ(config.deviceSupports()[1].models.disabled.size(), (c.rows - 1) * c.namesPerRow);
      std::vector<std::string> rowOne;
      for (std::size_t n = 0; n < c.namesPerRow; ++n) rowOne.push_back("m1_" + std::to_string(n));
      EXPECT_EQ(config.modelSupport("D1x").supported, rowOne);
      continue;
    }
    try {
      ModelSupportConfig::fromJson(document);
      ADD_FAILURE() << "read";
    } catch (const json::DecodingError& e) {
      EXPECT_EQ(e.kind, json::DecodingError::Kind::dataCorrupted);
      EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
    }
  }
}

TEST(ConstantsTest, LanguagesAndPunctuation) {
  EXPECT_EQ(Constants::languages().size(), 112u);
  EXPECT_EQ(Constants::languageCodes().size(), 100u);
  EXPECT_EQ(Constants::languages().at("burmese"), "my");
  EXPECT_EQ(Constants::languages().at("myanmar"), "my");
  EXPECT_EQ(Constants::languages().at("moldovan"), "ro");
  EXPECT_EQ(Constants::languages().at("haitian creole"), "ht");
  EXPECT_EQ(Constants::languages().at("javanese"), "jw");
  EXPECT_EQ(Constants::defaultPrependPunctuations, "\"'“¡¿([{-");
  EXPECT_EQ(Constants::defaultAppendPunctuations, "\"'.。,，!！?？:：”)]}、");
  EXPECT_EQ(Constants::maxTokenContext, 224);
  EXPECT_EQ(Constants::defaultWindowSamples, 480000);
  EXPECT_EQ(Constants::defaultAudioReadFrameSize, 1323000u);
}

TEST(ModelVariantTest, DescriptionsAndLanguages) {
  const std::vector<std::pair<const char*, bool>> expected{
      {"tiny", true},   {"tiny.en", false},   {"base", true},  {"base.en", false}, {"small", true},   {"small.en", false},
      {"medium", true}, {"medium.en", false}, {"large", true}, {"large-v2", true}, {"large-v3", true}};
  ASSERT_EQ(allModelVariants().size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ModelVariant v = allModelVariants()[i];
    EXPECT_EQ(static_cast<std::size_t>(v), i);
    EXPECT_EQ(description(v), expected[i].first);
    EXPECT_EQ(isMultilingual(v), expected[i].second);
  }
}

TEST(ModelComputeOptionsTest, AbsentEncoderUnitsResolveAndGivenOnesAreKept) {
  ModelComputeOptions defaults;
  EXPECT_EQ(defaults.melCompute, MLComputeUnits::cpuAndGPU);
  EXPECT_EQ(defaults.audioEncoderCompute, MLComputeUnits::cpuAndNeuralEngine);
  EXPECT_EQ(defaults.textDecoderCompute, MLComputeUnits::cpuAndNeuralEngine);
  EXPECT_EQ(defaults.prefillCompute, MLComputeUnits::cpuOnly);
  ModelComputeOptions given(MLComputeUnits::all, MLComputeUnits::cpuOnly);
  EXPECT_EQ(given.audioEncoderCompute, MLComputeUnits::cpuOnly);
  EXPECT_EQ(given.melCompute, MLComputeUnits::all);
}

}  // namespace
