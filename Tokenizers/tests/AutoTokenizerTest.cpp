#include "Tokenizers/AutoTokenizer.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Hub/JSONParser.h"
#include "Tokenizers/LlamaPreTrainedTokenizer.h"
#include "Tokenizers/TokenizerError.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace tokenizers {
namespace {

namespace fs = std::filesystem;
using hub::Config;
using testsupport::HubTestServer;

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

fs::path fixture(const std::string& name) { return testsupport::fixturesDir() / "tokenizers" / name; }

class AutoTokenizerTest : public ::testing::Test {
 protected:
  // Serves a fixture folder's two tokenizer files as repository "o/<name>".
  void serve(const std::string& name, std::vector<std::string> files = {"tokenizer.json", "tokenizer_config.json"}) {
    server.addRepository("models", "o/" + name);
    for (const auto& file : files) server.addFile("models", "o/" + name, file, readAll(fixture(name) / file));
  }

  HubTestServer server;
  testsupport::TempDir dir;
  hub::HubApi api{dir.path(), std::nullopt, server.endpoint(), false, false};
};

TEST_F(AutoTokenizerTest, LoaderFetchesTheFilesAndBuildsTheTokenizer) {
  PARLET_REQUIRE_FIXTURE(fixture("gpt2") / "tokenizer.json");
  serve("gpt2");
  auto tokenizer = AutoTokenizer::fromPretrained("o/gpt2", api, true);
  // GPT-2's published ids: "Hello" 15496, " world" 995.
  EXPECT_EQ(tokenizer->encode("Hello world"), (std::vector<TokenId>{15496, 995}));
  EXPECT_EQ(tokenizer->decode({15496, 995}), "Hello world");

  // The same files read from the cached folder build the same tokenizer.
  auto folder = api.localRepoLocation({"o/gpt2", hub::Hub::RepoType::models});
  EXPECT_EQ(AutoTokenizer::fromModelFolder(folder, api, true)->encode("Hello world"), (std::vector<TokenId>{15496, 995}));
}

TEST_F(AutoTokenizerTest, LlamaClassIsChosenByNameExceptForAFolder) {
  PARLET_REQUIRE_FIXTURE(fixture("phi-3-mini") / "tokenizer.json");
  serve("phi-3-mini");
  auto fetched = AutoTokenizer::fromPretrained("o/phi-3-mini", api, true);
  auto* llama = dynamic_cast<LlamaPreTrainedTokenizer*>(fetched.get());
  ASSERT_NE(llama, nullptr);
  EXPECT_FALSE(llama->isLegacy());
  // "▁Hello" and "▁world" in the file's vocabulary.
  EXPECT_EQ(fetched->encode("Hello world", false), (std::vector<TokenId>{15043, 3186}));

  Config data = hub::JSONParser::parseToConfig(readAll(fixture("phi-3-mini") / "tokenizer.json"));
  Config fastName = Config(Config::Dictionary{{hub::BinaryDistinctString("tokenizer_class"), Config("LlamaTokenizerFast")}});
  EXPECT_NE(dynamic_cast<LlamaPreTrainedTokenizer*>(AutoTokenizer::from(fastName, data, false).get()), nullptr);

  auto folder = api.localRepoLocation({"o/phi-3-mini", hub::Hub::RepoType::models});
  auto plain = AutoTokenizer::fromModelFolder(folder, api, true);
  EXPECT_EQ(dynamic_cast<LlamaPreTrainedTokenizer*>(plain.get()), nullptr);
}

TEST_F(AutoTokenizerTest, NonLegacyLlamaMarksTheTextStartAndDropsALoneMarkBeforeASpecialToken) {
  PARLET_REQUIRE_FIXTURE(fixture("phi-3-mini") / "tokenizer.json");
  Config config = hub::JSONParser::parseToConfig(readAll(fixture("phi-3-mini") / "tokenizer_config.json"));
  Config data = hub::JSONParser::parseToConfig(readAll(fixture("phi-3-mini") / "tokenizer.json"));
  LlamaPreTrainedTokenizer tokenizer(config, data, true);
  // A "▁" inside the text is a blank; the whole text gets one "▁" in front.
  EXPECT_EQ(tokenizer.tokenize("Hello\xE2\x96\x81world"), tokenizer.tokenize("Hello world"));
  EXPECT_EQ(tokenizer.tokenize("Hello world"), (std::vector<std::string>{"\xE2\x96\x81Hello", "\xE2\x96\x81world"}));
  auto tokens = tokenizer.tokenize("<|user|>Hi");
  ASSERT_FALSE(tokens.empty());
  EXPECT_EQ(tokens.front(), "<|user|>");

  // Legacy (the flag absent): the file's own normalizer stays and the text is not rewritten.
  Config::Dictionary legacyMembers = *config.dictionary();
  legacyMembers.erase(hub::BinaryDistinctString("legacy"));
  LlamaPreTrainedTokenizer legacy(Config(legacyMembers), data, true);
  EXPECT_TRUE(legacy.isLegacy());
  EXPECT_NE(legacy.normalizer(), nullptr);
  EXPECT_EQ(tokenizer.normalizer(), nullptr);
}

TEST(MaybeUpdatePostProcessorTest, BuildsTheTemplateFromTheBeginAndEndFlags) {
  auto parse = [](const char* json) { return hub::JSONParser::parseToConfig(json); };
  auto processor = maybeUpdatePostProcessor(
      parse(R"({"add_bos_token": true, "bos_token": {"content": "<s>"}, "add_eos_token": true, "eos_token": "</s>"})"),
      Config());
  ASSERT_TRUE(processor);
  EXPECT_EQ(*processor, parse(R"({"type": "TemplateProcessing",
      "single": [{"SpecialToken": {"id": "<s>", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
                 {"SpecialToken": {"id": "</s>", "type_id": 0}}],
      "pair": [{"SpecialToken": {"id": "<s>", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
               {"SpecialToken": {"id": "</s>", "type_id": 0}}, {"SpecialToken": {"id": "<s>", "type_id": 1}},
               {"Sequence": {"id": "B", "type_id": 1}}, {"SpecialToken": {"id": "</s>", "type_id": 1}}]})"));

  auto plain = maybeUpdatePostProcessor(parse("{}"), parse(R"({"type": "ByteLevel"})"));
  ASSERT_TRUE(plain);
  EXPECT_EQ((*plain)["pair"], parse(R"([{"Sequence": {"id": "A", "type_id": 0}}, {"Sequence": {"id": "B", "type_id": 1}}])"));

  EXPECT_FALSE(maybeUpdatePostProcessor(
      parse(R"({"add_bos_token": true, "bos_token": "<s>"})"),
      parse(R"({"type": "TemplateProcessing", "single": [], "pair": [], "special_tokens": {}})")));

  struct Case {
    const char* config;
    const char* message;
  } cases[] = {
      {R"({"add_bos_token": true})", "add_bos_token is True but bos_token is nil"},
      {R"({"add_eos_token": true, "eos_token": 5})", "add_eos_token is True but eos_token is nil"},
  };
  for (const auto& c : cases) {
    try {
      maybeUpdatePostProcessor(parse(c.config), Config());
      ADD_FAILURE() << c.config;
    } catch (const TokenizerError& e) {
      EXPECT_EQ(e.kind(), TokenizerError::Kind::mismatchedConfig);
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

TEST_F(AutoTokenizerTest, RepositoryWithoutTokenizerConfigurationIsMissingConfig) {
  server.addRepository("models", "o/bare");
  server.addFile("models", "o/bare", "tokenizer.json", "{}");
  try {
    AutoTokenizer::fromPretrained("o/bare", api, true);
    FAIL() << "built without a configuration";
  } catch (const TokenizerError& e) {
    EXPECT_EQ(e.kind(), TokenizerError::Kind::missingConfig);
  }
}

}  // namespace
}  // namespace tokenizers
