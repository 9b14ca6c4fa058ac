#include "Hub/LanguageModelConfigurationFromHub.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace hub {
namespace {

namespace fs = std::filesystem;
using testsupport::HubTestServer;
using Error = Hub::HubClientError;

void writeFiles(const fs::path& folder, const std::map<std::string, std::string>& files) {
  fs::create_directories(folder);
  for (const auto& [name, text] : files) std::ofstream(folder / name, std::ios::binary) << text;
}

template <class F>
Error clientError(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e;
  }
  throw std::logic_error("no client error");
}

class LanguageModelConfigurationTest : public ::testing::Test {
 protected:
  testsupport::TempDir dir;
  HubApi api{dir.path() / "cache", std::nullopt, std::string("http://127.0.0.1:9"), false, true};
  fs::path folder = dir.path() / "model";
};

TEST_F(LanguageModelConfigurationTest, FetchesOnlyItsFilesFromTheRepository) {
  HubTestServer server;
  server.addRepository("models", "o/m");
  server.addFile("models", "o/m", "config.json", R"({"model_type": "whisper", "vocab_size": 3})");
  server.addFile("models", "o/m", "tokenizer.json", R"({"model": {"type": "BPE"}})");
  server.addFile("models", "o/m", "chat_template.jinja", "{{ messages }}");
  server.addFile("models", "o/m", "weights.bin", "not fetched");
  HubApi online(dir.path() / "cache", std::nullopt, server.endpoint(), false, false);
  LanguageModelConfigurationFromHub loaded("o/m", "main", online);
  EXPECT_EQ(loaded.modelType(), "whisper");
  EXPECT_EQ(loaded.tokenizerData()["model"]["type"].string(), "BPE");
  // No tokenizer_config.json: the template alone, completed by the naming rule.
  auto config = loaded.tokenizerConfig();
  ASSERT_TRUE(config);
  EXPECT_EQ((*config)["chat_template"].string(), "{{ messages }}");
  EXPECT_EQ((*config)["tokenizer_class"].string(), "WhisperTokenizer");
  EXPECT_FALSE(fs::exists(online.localRepoLocation({"o/m", Hub::RepoType::models}) / "weights.bin"));
}

TEST_F(LanguageModelConfigurationTest, RepositoryWithoutTokenizerFileFailsEveryGetter) {
  HubTestServer server;
  server.addRepository("models", "o/m");
  server.addFile("models", "o/m", "config.json", "{}");
  HubApi online(dir.path() / "cache", std::nullopt, server.endpoint(), false, false);
  LanguageModelConfigurationFromHub missing("o/m", "main", online);
  EXPECT_EQ(clientError([&] { missing.modelConfig(); }).kind(), Error::Kind::configurationMissing);
  // Every getter reports the same failure, each time.
  EXPECT_EQ(clientError([&] { missing.tokenizerConfig(); }).kind(), Error::Kind::configurationMissing);
}

TEST_F(LanguageModelConfigurationTest, FolderEdgeCases) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> files;
    std::optional<Error::Kind> error;
    std::optional<std::string> chatTemplate;       // of the loaded tokenizer configuration
    std::optional<std::string> tokenizerClass;     // after completion
    bool hasTokenizerConfig;
  } cases[] = {
      {"only tokenizer.json", {{"tokenizer.json", "{}"}}, std::nullopt, std::nullopt, std::nullopt, false},
      {"no tokenizer.json", {{"config.json", "{}"}, {"tokenizer_config.json", "{}"}}, Error::Kind::configurationMissing,
       std::nullopt, std::nullopt, false},
      {"invalid config.json before the missing tokenizer.json", {{"config.json", "{"}}, Error::Kind::jsonSerialization,
       std::nullopt, std::nullopt, false},
      {"invalid tokenizer_config.json", {{"tokenizer.json", "{}"}, {"tokenizer_config.json", "[1,"}},
       Error::Kind::jsonSerialization, std::nullopt, std::nullopt, false},
      {"the .jinja template wins",
       {{"tokenizer.json", "{}"}, {"chat_template.jinja", "J"}, {"chat_template.json", R"({"chat_template": "N"})"},
        {"tokenizer_config.json", R"({"tokenizer_class": "X", "chat_template": "old"})"}},
       std::nullopt, "J", "X", true},
      {"a list of named templates is no template",
       {{"tokenizer.json", "{}"}, {"chat_template.json", R"({"chat_template": [{"name": "a", "template": "t"}]})"},
        {"tokenizer_config.json", R"({"tokenizer_class": "X"})"}},
       std::nullopt, std::nullopt, "X", true},
      {"an array configuration becomes the template alone",
       {{"tokenizer.json", "{}"}, {"tokenizer_config.json", "[1, 2]"}, {"chat_template.jinja", "J"}}, std::nullopt, "J",
       std::nullopt, true},
      {"a numeric class is completed by the naming rule",
       {{"tokenizer.json", "{}"}, {"config.json", R"({"model_type": "whisper"})"},
        {"tokenizer_config.json", R"({"tokenizer_class": 3, "keep": 1})"}},
       std::nullopt, std::nullopt, "WhisperTokenizer", true},
      {"a model type with a slash looks up no resource",
       {{"tokenizer.json", "{}"}, {"config.json", R"({"model_type": "gpt2/x"})"}, {"tokenizer_config.json", "{}"}},
       std::nullopt, std::nullopt, "Gpt2/XTokenizer", true},  // "/" ends a word
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(folder);
    writeFiles(folder, c.files);
    LanguageModelConfigurationFromHub loaded(folder, api);
    if (c.error) {
      EXPECT_EQ(clientError([&] { loaded.tokenizerData(); }).kind(), *c.error);
      EXPECT_EQ(clientError([&] { loaded.modelConfig(); }).kind(), *c.error);
      continue;
    }
    auto raw = LanguageModelConfigurationFromHub::loadConfig(folder, api).tokenizerConfig;
    EXPECT_EQ(raw.has_value(), c.hasTokenizerConfig);
    if (raw) {
      EXPECT_EQ((*raw)["chat_template"].string(), c.chatTemplate);
    }
    auto completed = loaded.tokenizerConfig();
    EXPECT_EQ(completed ? (*completed)["tokenizer_class"].string() : std::nullopt, c.tokenizerClass);
  }
}

// A tokenizer.json over the bound is refused with a clear error before it is read; one at the bound
// is read (these hold zero bytes, so parsing fails at once).
TEST_F(LanguageModelConfigurationTest, ATokenizerFileOverTheSizeBoundIsRefusedUnread) {
  const std::pair<std::uintmax_t, Error::Kind> cases[] = {
      {HubApi::maxConfigurationBytes, Error::Kind::jsonSerialization},
      {HubApi::maxConfigurationBytes + 1, Error::Kind::fileSystemError},
  };
  for (const auto& [size, kind] : cases) {
    SCOPED_TRACE(size);
    fs::remove_all(folder);
    writeFiles(folder, {{"tokenizer.json", ""}});
    fs::resize_file(folder / "tokenizer.json", size);  // sparse: no disk used
    const Error error = clientError([&] { LanguageModelConfigurationFromHub::loadConfig(folder, api); });
    EXPECT_EQ(error.kind(), kind);
    if (kind == Error::Kind::fileSystemError) {
      EXPECT_NE(std::string(error.what()).find("larger than 128 MiB"), std::string::npos) << error.what();
    }
  }
}

// A tokenizer.json within the size bound whose tree would pass the parser's memory bound is refused
// as a file error naming the bound and the file.
TEST_F(LanguageModelConfigurationTest, ATokenizerFileOfMillionsOfTinyValuesIsRefused) {
  std::string tiny = "[";
  for (int i = 0; i < 2'000'000; ++i) tiny += i ? ",{}" : "{}";
  writeFiles(folder, {{"tokenizer.json", tiny + "]"}});
  const Error error = clientError([&] { LanguageModelConfigurationFromHub::loadConfig(folder, api); });
  EXPECT_EQ(error.kind(), Error::Kind::fileSystemError);
  const std::string what = error.what();
  EXPECT_NE(what.find("more than 114 MiB of memory as a configuration tree (the bound is 20 times its size"),
            std::string::npos) << what;
  EXPECT_NE(what.find("tokenizer.json"), std::string::npos) << what;
}

TEST_F(LanguageModelConfigurationTest, NamingRuleKeepsTheOtherMembersAndTheFallbackWinsOverTheLoadedOnes) {
  writeFiles(folder, {{"tokenizer.json", "{}"},
                      {"config.json", R"({"model_type": "whisper"})"},
                      {"tokenizer_config.json", R"({"keep": 1})"}});
  auto whisper = LanguageModelConfigurationFromHub(folder, api).tokenizerConfig();
  ASSERT_TRUE(whisper);
  EXPECT_EQ((*whisper)["keep"].integer(), 1);

  // "gpt2" has a fallback of the library; its members win, the loaded ones fill in.
  auto fallback = LanguageModelConfigurationFromHub::fallbackTokenizerConfig("gpt2");
  ASSERT_TRUE(fallback);
  writeFiles(folder, {{"config.json", R"({"model_type": "gpt2"})"},
                      {"tokenizer_config.json", R"({"model_max_length": 7, "only_loaded": true})"}});
  auto merged = LanguageModelConfigurationFromHub(folder, api).tokenizerConfig();
  ASSERT_TRUE(merged);
  EXPECT_EQ((*merged)["model_max_length"].integer(), (*fallback)["model_max_length"].integer());
  EXPECT_NE((*merged)["model_max_length"].integer(), 7);
  EXPECT_EQ((*merged)["only_loaded"].boolean(), true);
  EXPECT_EQ((*merged)["tokenizer_class"].string(), "GPT2Tokenizer");
  for (const char* name : {"", "gpt2.x", "../gpt2", "whisper"})
    EXPECT_FALSE(LanguageModelConfigurationFromHub::fallbackTokenizerConfig(name)) << name;
}

}  // namespace
}  // namespace hub
