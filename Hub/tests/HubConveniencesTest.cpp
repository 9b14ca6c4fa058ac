#include <filesystem>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "Hub/HubApi.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace hub {
namespace {

TEST(HubConveniencesTest, WhoamiUsesTheGivenTokenOverTheEnvironments) {
  testsupport::HubTestServer server;
  server.setToken("given");
  testsupport::EnvironmentGuard environment;
  environment.set("HF_ENDPOINT", server.endpoint());
  environment.set("HF_TOKEN", "from-environment");
  EXPECT_EQ(Hub::whoami("given")["name"].string(), "tester");
  EXPECT_THROW(Hub::whoami("other"), Hub::HubClientError);
}

TEST(HubConveniencesTest, BareIdsAreModelRepositoriesAndOneGlobIsAList) {
  Hub::Repo dataset{"o/d", Hub::RepoType::datasets};
  EXPECT_EQ(Hub::RepoArgument(dataset).repo, dataset);
  EXPECT_EQ(Hub::RepoArgument("o/m").repo, (Hub::Repo{"o/m", Hub::RepoType::models}));
  EXPECT_EQ(Hub::RepoArgument(std::string()).repo, (Hub::Repo{"", Hub::RepoType::models}));
  EXPECT_EQ(Hub::GlobsArgument("*.json").globs, std::vector<std::string>{"*.json"});
  EXPECT_EQ(Hub::GlobsArgument({"a", "b"}).globs, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Hub::GlobsArgument(std::vector<std::string>{}).globs, std::vector<std::string>{});

  // Every argument form reaches one shortcut; handlers pick their family by their arguments.
  auto speedHandler = [](const kestrum::Progress&, std::optional<double>) {};
  static_assert(std::is_same_v<decltype(Hub::snapshot("o/m", "*.json")), std::filesystem::path>);
  static_assert(std::is_same_v<decltype(Hub::snapshot(dataset, {"a", "b"}, [](const kestrum::Progress&) {})), std::filesystem::path>);
  static_assert(std::is_same_v<decltype(Hub::snapshot("o/m", std::string("a"), speedHandler)), std::filesystem::path>);
  static_assert(std::is_same_v<decltype(Hub::getFileMetadata(std::string("u"))), HubApi::FileMetadata>);
  static_assert(std::is_same_v<decltype(Hub::getFileMetadata("o/m", "*")), std::vector<HubApi::FileMetadata>>);
  static_assert(std::is_same_v<decltype(Hub::getFilenames(dataset, std::vector<std::string>{})), std::vector<std::string>>);
}

}  // namespace
}  // namespace hub
