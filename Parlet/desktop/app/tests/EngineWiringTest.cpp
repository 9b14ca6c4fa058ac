// The application's engine against a local repository service: the first start downloads and packs
// the model, a later start asks once per file whether it changed; HF_HUB_OFFLINE=1 loads the cached model without a single
// request, and without a cached model fails saying so, again without a request.
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "Parlet/core/tests/RoadFixtures.h"
#include "Parlet/core/Transcriber.h"
#include "Parlet/desktop/app/EngineWiring.h"
#include "Parlet/desktop/AppController.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace parlet::app {
namespace {

class EngineWiringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string repo = "openai/whisper-base.en";
    const auto dims = testing::narrowDimensions();
    server.addRepository("models", repo);
    server.addFile("models", repo, "config.json", testing::checkpointConfigJson(dims));
    server.addFile("models", repo, "model.safetensors",
                   testing::checkpointWeights(testing::scriptedWeights(dims, testing::sayWords(1, 1.0))), true);
    server.addFile("models", repo, "tokenizer.json", testing::generatedTokenizerJson(), true);
    server.addFile("models", repo, "tokenizer_config.json", testing::generatedTokenizerConfigJson());
    environment.set("HOME", (folder.path() / "home").string());  // the model cache's default place
    environment.set("XDG_DATA_HOME", (folder.path() / "data").string());
    environment.set("XDG_CACHE_HOME", (folder.path() / "cache").string());
    environment.set("HF_ENDPOINT", server.endpoint());
    environment.set("CI_DISABLE_NETWORK_MONITOR", "1");  // online, whatever this machine's interfaces say
    environment.set("HF_HUB_OFFLINE", std::nullopt);
  }
  std::shared_ptr<SpeechEngine> create() {
    return applicationEngineFactory([](const kestrum::Progress&) {}, [] {})(Transcriber::engineOptions());
  }

  testsupport::HubTestServer server;
  testsupport::EnvironmentGuard environment;
  testsupport::TempDir folder;
};

TEST_F(EngineWiringTest, CachedStartAsksOncePerFileAndOfflineSwitchAsksNoOne) {
  ASSERT_NE(create(), nullptr);
  // A later start with the model cached asks whether each file changed, once, and fetches nothing.
  server.clearRequests();
  ASSERT_NE(create(), nullptr);
  std::map<std::string, int> asked;
  for (const auto& r : server.requests()) {
    if (r.method == "HEAD") ++asked[r.target];
    EXPECT_TRUE(r.method == "HEAD" || r.target.find("/api/models/") == 0) << r.method << " " << r.target;
  }
  EXPECT_EQ(asked.size(), 4u);
  for (const auto& [target, count] : asked) EXPECT_EQ(count, 1) << target << ": asked again by the engine";

  for (const char* value : {"1", "true", "YES", "on"}) {
    SCOPED_TRACE(value);
    environment.set("HF_HUB_OFFLINE", value);
    EXPECT_TRUE(hubOfflineRequested());
    server.clearRequests();
    EXPECT_NE(create(), nullptr);
    EXPECT_TRUE(server.requests().empty()) << server.requests().front().method << " " << server.requests().front().target;
  }
  for (const char* value : {"0", "", "false"}) {
    environment.set("HF_HUB_OFFLINE", value);
    EXPECT_FALSE(hubOfflineRequested()) << value;
  }
}

TEST_F(EngineWiringTest, OfflineSwitchWithoutACachedModelFailsWithoutARequest) {
  environment.set("HF_HUB_OFFLINE", "1");
  try {
    create();
    ADD_FAILURE() << "an engine without a model";
  } catch (const std::exception& error) {
    const std::string what = error.what();
    EXPECT_EQ(what.rfind("HF_HUB_OFFLINE is set: ", 0), 0u) << what;
    EXPECT_NE(what.find("No local copy of model \"base.en\""), std::string::npos) << what;
    EXPECT_EQ(plainModelProblem(what), "offline mode is on (HF_HUB_OFFLINE), and the speech model has not been downloaded yet.");
  }
  EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace parlet::app
