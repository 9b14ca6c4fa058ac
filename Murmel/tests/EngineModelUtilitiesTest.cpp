#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KestrumCore/tests/LogCapture.h"
#include "Murmel/data/Constants.h"
#include "Murmel/models/EngineModelUtilities.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace murmel {
namespace {

namespace fs = std::filesystem;
using testsupport::HubTestServer;
using testsupport::LogCapture;
using V = ModelVariant;

TEST(DetectVariantTest, VocabularyAndEncoderWidthPickTheVariant) {
  struct Case {
    std::int64_t logits, width;
    ModelVariant expected;
  };
  const std::vector<Case> cases{
      {51864, 384, V::tinyEn},   {51864, 512, V::baseEn},    {51864, 640, V::baseEn},  {51864, 768, V::smallEn},
      {51864, 896, V::baseEn},   {51864, 1024, V::mediumEn}, {51864, 1280, V::baseEn}, {51864, 700, V::baseEn},
      {51865, 384, V::tiny},     {51865, 512, V::base},      {51865, 768, V::small},   {51865, 1024, V::medium},
      {51865, 1152, V::base},    {51865, 1280, V::largev2},  {51865, 700, V::base},    {51865, 1408, V::base},
      {51865, 256, V::base},     {51866, 384, V::largev3},   {51866, 1280, V::largev3}, {51866, 7, V::largev3},
  };
  LogCapture log;
  for (const auto& c : cases)
    EXPECT_EQ(ModelUtilities::detectVariant(c.logits, c.width), c.expected) << c.logits << " " << c.width;
  EXPECT_TRUE(log.containing("Unrecognized").empty());
}

TEST(DetectVariantTest, UnknownVocabularyIsBaseWithAnError) {
  LogCapture log(kestrum::Logging::LogLevel::error);
  EXPECT_EQ(ModelUtilities::detectVariant(50000, 512), V::base);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Unrecognized vocabulary size: 50000, defaulting to base variant"});
}

TEST(FormatModelFilesTest, KnownVariantFoldersOnceInVariantOrder) {
  struct Case {
    const char* name;
    std::vector<std::string> files, expected;
  };
  const std::vector<Case> cases{
      {"folders of files, a bare folder and a stray file",
       {"openai_whisper-base/AudioEncoder.mlmodelc", "openai_whisper-base/TextDecoder.mlmodelc", "openai_whisper-tiny",
        "README.md"},
       {"openai_whisper-tiny", "openai_whisper-base"}},
      // ".en" names sort in the group of the first description they contain ("base" before "base.en").
      {"english and multilingual",
       {"openai_whisper-base.en/x", "openai_whisper-tiny.en/x", "openai_whisper-base/x", "openai_whisper-small.en/x"},
       {"openai_whisper-tiny.en", "openai_whisper-base", "openai_whisper-base.en", "openai_whisper-small.en"}},
      // Every "large" name is in the "large" group and ordered there by name.
      {"large names",
       {"openai_whisper-large-v3_947MB/a", "openai_whisper-large-v2", "distil-whisper_distil-large-v3/b",
        "openai_whisper-medium/c"},
       {"openai_whisper-medium", "distil-whisper_distil-large-v3", "openai_whisper-large-v2",
        "openai_whisper-large-v3_947MB"}},
      // "tiny" without the folder slash is no match; a path's deeper parts do not count.
      {"no known folder", {"tinyness.txt", "models/openai_whisper-base/x", "config.json"}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(ModelUtilities::formatModelFiles(c.files), c.expected) << c.name;
}

TEST(ModelSupportLookupTest, GivenTableOrTheBuiltInOne) {
  auto table = ModelSupportConfig::fromJson(platform::json::parse(
      R"({"name": "test-table", "version": "1", "device_support": [
          {"identifiers": ["Dev1"], "models": {"default": "openai_whisper-tiny", "supported": ["openai_whisper-tiny"]}},
          {"identifiers": ["Dev2"], "models": {"default": "openai_whisper-small",
                                               "supported": ["openai_whisper-small", "openai_whisper-tiny"]}}]})"));
  EXPECT_EQ(modelSupport("Dev1,7", table).defaultModel, "openai_whisper-tiny");
  const auto [defaultModel, disabled] = modelSupportDefaultAndDisabled("Dev1,7", table);
  EXPECT_EQ(defaultModel, "openai_whisper-tiny");
  EXPECT_EQ(disabled, std::vector<std::string>{"openai_whisper-small"});
  EXPECT_EQ(modelSupport("Dev1,7"), Constants::fallbackModelSupportConfig().modelSupport("Dev1,7"));
}

// ---- Tokenizer: local copies first, then the repository -----------------------------------------

fs::path fixture() { return testsupport::fixturesDir() / "tokenizers" / "whisper-tiny"; }

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void copyTokenizer(const fs::path& to, const std::string& tokenizerJson = readAll(fixture() / "tokenizer.json")) {
  fs::create_directories(to);
  std::ofstream(to / "tokenizer.json", std::ios::binary) << tokenizerJson;
  fs::copy_file(fixture() / "tokenizer_config.json", to / "tokenizer_config.json");
}

class LoadTokenizerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PARLET_REQUIRE_FIXTURE(fixture() / "tokenizer.json");
    environment.set("CI_DISABLE_NETWORK_MONITOR", "1");
    environment.set("HF_ENDPOINT", server.endpoint());
  }
  // The served copy of the variant's tokenizer repository.
  void serve() {
    server.addRepository("models", "openai/whisper-tiny");
    server.addFile("models", "openai/whisper-tiny", "tokenizer.json", readAll(fixture() / "tokenizer.json"), true);
    server.addFile("models", "openai/whisper-tiny", "tokenizer_config.json",
                   readAll(fixture() / "tokenizer_config.json"));
  }
  // Ids of the fixture's own vocabulary (added tokens of the multilingual layout).
  static void expectWhisperTokenizer(const WhisperTokenizer& tokenizer) {
    EXPECT_EQ(tokenizer.convertTokenToId("<|en|>"), 50259);
    EXPECT_EQ(tokenizer.convertTokenToId("<|transcribe|>"), 50359);
  }

  testsupport::EnvironmentGuard environment;
  HubTestServer server;
  testsupport::TempDir dir;
  fs::path cache = dir.path() / "cache";
  fs::path repoFolder = cache / "models" / "openai" / "whisper-tiny";
  fs::path extra = dir.path() / "extra";
};

TEST_F(LoadTokenizerTest, CacheCopyComesBeforeTheOtherFoldersAndNeedsNoService) {
  copyTokenizer(repoFolder);
  copyTokenizer(extra, "not json");
  LogCapture log;
  auto tokenizer = ModelUtilities::loadTokenizer(V::tiny, cache, {extra});
  const auto& wrapper = dynamic_cast<const WhisperTokenizerWrapper&>(*tokenizer);
  EXPECT_EQ(wrapper.tokenizerFolder(), repoFolder);
  expectWhisperTokenizer(*tokenizer);
  EXPECT_EQ(server.requests().size(), 0u);
  EXPECT_EQ(log.containing("Checking for local tokenizer at ").size(), 1u);
}

TEST_F(LoadTokenizerTest, LaterSearchFolderIsUsedWhenTheCacheHasNone) {
  copyTokenizer(extra);
  auto tokenizer = ModelUtilities::loadTokenizer(V::tiny, cache, {dir.path() / "empty", extra});
  EXPECT_EQ(dynamic_cast<const WhisperTokenizerWrapper&>(*tokenizer).tokenizerFolder(), extra);
  EXPECT_EQ(server.requests().size(), 0u);
}

// Nothing local, or a local copy that does not load: the repository's files come into the cache.
TEST_F(LoadTokenizerTest, DownloadsIntoTheCacheWhenNoLocalCopyLoads) {
  for (bool brokenLocalCopy : {false, true}) {
    SCOPED_TRACE(brokenLocalCopy ? "broken local copy" : "no local copy");
    testsupport::TempDir run;
    const fs::path base = run.path() / "cache";
    if (brokenLocalCopy) copyTokenizer(extra, R"({"model": {"type": "Nonsense"}})");
    serve();
    LogCapture log;
    auto tokenizer = ModelUtilities::loadTokenizer(V::tiny, base, brokenLocalCopy ? std::vector<fs::path>{extra}
                                                                                   : std::vector<fs::path>{});
    const fs::path downloaded = base / "models" / "openai" / "whisper-tiny";
    EXPECT_EQ(dynamic_cast<const WhisperTokenizerWrapper&>(*tokenizer).tokenizerFolder(), downloaded);
    EXPECT_TRUE(fs::exists(downloaded / "tokenizer.json"));
    expectWhisperTokenizer(*tokenizer);
    EXPECT_EQ(log.containing("Error loading local tokenizer: ").size(), brokenLocalCopy ? 1u : 0u);
  }
}

TEST_F(LoadTokenizerTest, DownloadErrorIsThrown) {
  EXPECT_THROW(loadTokenizer(V::tiny, cache), std::exception);
}

}  // namespace
}  // namespace murmel
