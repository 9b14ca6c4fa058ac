#include "Hub/HubApi.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/Fixtures.h"

namespace hub {
namespace {

namespace fs = std::filesystem;
using testsupport::EnvironmentGuard;

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// A home folder of its own and none of the client's variables set.
class HubApiEnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env.set("HOME", home.path().string());
    for (const char* name : {"HF_TOKEN", "HUGGING_FACE_HUB_TOKEN", "HF_TOKEN_PATH", "HF_HOME", "HF_ENDPOINT",
                             "CI_DISABLE_NETWORK_MONITOR", "XDG_CACHE_HOME"})
      env.set(name, std::nullopt);
  }
  fs::path homePath(const std::string& relative) const { return home.path() / relative; }

  testsupport::TempDir home;
  EnvironmentGuard env;
};

TEST_F(HubApiEnvironmentTest, TokenComesFromTheFirstSourceWithANonEmptyToken) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> variables;  // "~/" in a value is the test's home
    std::vector<std::pair<std::string, std::string>> files;      // relative to the home folder
    std::optional<std::string> token;
  };
  const std::vector<Case> cases = {
      {"nothing anywhere", {}, {}, std::nullopt},
      {"HF_TOKEN wins over the rest", {{"HF_TOKEN", "env1"}, {"HUGGING_FACE_HUB_TOKEN", "env2"}},
       {{".cache/huggingface/token", "file"}}, "env1"},
      {"an empty HF_TOKEN is passed over", {{"HF_TOKEN", ""}, {"HUGGING_FACE_HUB_TOKEN", "env2"}}, {}, "env2"},
      {"HF_TOKEN_PATH with ~", {{"HF_TOKEN_PATH", "~/secret/tok"}}, {{"secret/tok", "from-path"}}, "from-path"},
      {"HF_TOKEN_PATH at a missing file falls through", {{"HF_TOKEN_PATH", "~/missing"}},
       {{".cache/huggingface/token", "cached"}}, "cached"},
      {"HF_HOME/token", {{"HF_HOME", "~/hf"}}, {{"hf/token", "home-token"}, {".huggingface/token", "old"}}, "home-token"},
      {"the older home file last", {}, {{".huggingface/token", "old"}}, "old"},
      {"an empty file is passed over", {}, {{".cache/huggingface/token", ""}, {".huggingface/token", "old"}}, "old"},
  };
  for (const Case& c : cases) {
    testsupport::TempDir caseHome;
    EnvironmentGuard caseEnv;
    caseEnv.set("HOME", caseHome.path().string());
    for (const auto& [name, value] : c.variables) caseEnv.set(name, value);
    for (const auto& [relative, text] : c.files) writeFile(caseHome.path() / relative, text);
    EXPECT_EQ(HubApi(fs::path("/tmp/unused")).hfToken(), c.token) << c.name;
  }
}

// A token file written by an editor or by `echo` ends with a line end, which must not reach the
// Authorization header; a token with other control characters is refused.
TEST_F(HubApiEnvironmentTest, TokenFilesLoseOneTrailingLineEndAndControlCharactersAreRefused) {
  struct Case {
    std::string content;
    std::optional<std::string> token;
  };
  const std::vector<Case> cases = {
      {"abc\n", "abc"},
      {"abc\r\n", "abc"},
      {"abc\r", "abc"},
      {"abc\n\n", std::nullopt},     // one line end only; the second leaves a control character
      {"abc\ndef", std::nullopt},
      {"ab\tc", std::nullopt},
      {"\n", std::nullopt},         // nothing left: passed over like an empty file
      {"abc", "abc"},
      {std::string(70'000, 'a'), std::nullopt},  // too long to be a token
  };
  for (const Case& c : cases) {
    writeFile(homePath(".cache/huggingface/token"), c.content);
    EXPECT_EQ(HubApi(fs::path("/tmp/unused")).hfToken(), c.token) << ::testing::PrintToString(c.content);
  }
  // A refused source does not hide a later one.
  writeFile(homePath(".cache/huggingface/token"), "bad\x01token");
  writeFile(homePath(".huggingface/token"), "good\n");
  EXPECT_EQ(HubApi(fs::path("/tmp/unused")).hfToken(), "good");
  env.set("HF_TOKEN", "env\r\ninjected: 1");
  EXPECT_EQ(HubApi(fs::path("/tmp/unused")).hfToken(), "good");
}

// A token file others can read, or that another user owns, is still used, with a warning in the log.
TEST_F(HubApiEnvironmentTest, AReadableOrForeignTokenFileIsUsedWithAWarning) {
  std::vector<std::string> lines;
  HubApi::setLogHandler([&](platform::system::LogType, const std::string& line) { lines.push_back(line); });
  env.set("HF_HOME", homePath("hf").string());
  const fs::path token = homePath("hf/token");
  writeFile(token, "hf_secret\n");
  chmod(token.c_str(), 0600);
  EXPECT_EQ(HubApi(fs::path("/tmp/unused")).hfToken(), "hf_secret");
  EXPECT_TRUE(lines.empty());
  chmod(token.c_str(), 0644);
  EXPECT_EQ(HubApi(fs::path("/tmp/unused")).hfToken(), "hf_secret");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Token file " + token.string() + " can be read by other users (mode 0644)");
  if (geteuid() == 0) {
    chmod(token.c_str(), 0600);
    ASSERT_EQ(chown(token.c_str(), 65534, 65534), 0);
    EXPECT_EQ(HubApi(fs::path("/tmp/unused")).hfToken(), "hf_secret");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "Token file " + token.string() + " belongs to user 65534");
  }
  HubApi::setLogHandler(nullptr);
}

TEST_F(HubApiEnvironmentTest, ExplicitArgumentsWinAndAreKeptAsGiven) {
  env.set("HF_TOKEN", "from-env");
  env.set("HF_ENDPOINT", "http://from-env");
  HubApi api(fs::path("/base"), std::string(), std::string("http://given"), true, false);
  EXPECT_EQ(api.hfToken(), "");  // an empty token stays empty, no discovery
  EXPECT_EQ(api.endpoint(), "http://given");
  EXPECT_EQ(api.downloadBase(), fs::path("/base"));
  EXPECT_TRUE(api.useBackgroundSession());
  EXPECT_EQ(api.useOfflineMode(), false);
  EXPECT_EQ(api.sha256Pattern(), "^[0-9a-f]{64}$");
  EXPECT_EQ(api.commitHashPattern(), "^[0-9a-f]{40}$");
}

TEST_F(HubApiEnvironmentTest, EndpointFallsBackToHfEndpointThenTheDefault) {
  EXPECT_EQ(HubApi().endpoint(), "https://huggingface.co");
  env.set("HF_ENDPOINT", "");
  EXPECT_EQ(HubApi().endpoint(), "");
  env.set("HF_ENDPOINT", "http://mirror:8080");
  EXPECT_EQ(HubApi().endpoint(), "http://mirror:8080");
}

// The cache folder of the desktop: an absolute XDG_CACHE_HOME, else ~/.cache.
TEST_F(HubApiEnvironmentTest, DefaultCacheIsHuggingfaceUnderTheUsersCacheFolder) {
  const fs::path given = home.path() / "elsewhere";
  const std::vector<std::pair<std::optional<std::string>, fs::path>> cases{
      {std::nullopt, home.path() / ".cache" / "huggingface"},
      {given.string(), given / "huggingface"},
      {"", home.path() / ".cache" / "huggingface"},
      {"relative/cache", home.path() / ".cache" / "huggingface"},
  };
  for (const auto& [variable, expected] : cases) {
    SCOPED_TRACE(variable.value_or("(unset)"));
    env.set("XDG_CACHE_HOME", variable);
    EXPECT_EQ(HubApi().downloadBase(), expected);
    EXPECT_EQ(HubApi(fs::path("/given")).downloadBase(), fs::path("/given"));
  }
  EXPECT_FALSE(HubApi().useOfflineMode().has_value());
  EXPECT_FALSE(HubApi().useBackgroundSession());
}

TEST_F(HubApiEnvironmentTest, TokenNoticeOnlyWhenTheMonitorIsDisabledExactly) {
  struct Case {
    std::optional<std::string> variable;
    std::optional<std::string> token;
    std::string printed;
  };
  const std::vector<Case> cases = {
      {std::nullopt, "t", ""},
      {"true", "t", ""},
      {"0", std::nullopt, ""},
      {"1", "t", "✅ got token\n"},
      {"1", std::nullopt, "🔴 NO TOKEN **\n"},
  };
  for (const Case& c : cases) {
    EnvironmentGuard caseEnv;
    caseEnv.set("CI_DISABLE_NETWORK_MONITOR", c.variable);
    caseEnv.set("HF_TOKEN", c.token);
    ::testing::internal::CaptureStdout();
    HubApi api(fs::path("/tmp/unused"));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed) << c.variable.value_or("(unset)");
    EXPECT_EQ(api.hfToken(), c.token);
  }
}

TEST_F(HubApiEnvironmentTest, SharedValueIsBuiltOnceFromTheEnvironment) {
  const HubApi* first = &HubApi::shared();
  EXPECT_EQ(first, &HubApi::shared());
  EXPECT_FALSE(HubApi::shared().useBackgroundSession());
  EXPECT_FALSE(HubApi::shared().useOfflineMode().has_value());
}

}  // namespace
}  // namespace hub
