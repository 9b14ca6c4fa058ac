#include "KestrumModels/ModelDownloader.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KestrumCore/tests/LogCapture.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace kestrum {
namespace {

namespace fs = std::filesystem;
using testsupport::HubTestServer;
using testsupport::LogCapture;
using States = std::vector<ModelState>;

constexpr const char* kRepo = "o/models";
const std::string kEncoderWeights(70000, 'w');

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

class ModelDownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env.set("CI_DISABLE_NETWORK_MONITOR", "1");  // an absent offline flag means online
    server.addRepository("models", kRepo);
    server.addFile("models", kRepo, "whisper/v1/base/AudioEncoder.mlmodelc/model.json", R"({"kind": "AudioEncoder"})");
    server.addFile("models", kRepo, "whisper/v1/base/AudioEncoder.mlmodelc/weights.safetensors", kEncoderWeights, true);
    server.addFile("models", kRepo, "whisper/v1/base/TextDecoder.mlmodelc/model.json", R"({"kind": "TextDecoder"})");
    server.addFile("models", kRepo, "whisper/v1/tiny/TextDecoder.mlmodelc/model.json", R"({"kind": "TextDecoder"})");
    server.addFile("models", kRepo, "tokenizer/tokenizer.json", "{}");
    server.addFile("models", kRepo, "config.json", "{}");
  }

  ModelDownloader downloader() const {
    return ModelDownloader({.downloadBase = cache.string(), .modelRepo = kRepo, .endpoint = server.endpoint()});
  }
  // Where the repository's copy lives in the cache.
  fs::path repoCopy() const { return cache / "models" / "o" / "models"; }
  fs::path encoderInCache() const { return repoCopy() / "whisper" / "v1" / "base" / "AudioEncoder.mlmodelc"; }

  std::vector<std::string> fileTransfers() const {
    std::vector<std::string> targets;
    for (const auto& r : server.requests())
      if (r.method == "GET" && r.target.find("/resolve/") != std::string::npos) targets.push_back(r.target);
    return targets;
  }

  testsupport::EnvironmentGuard env;
  HubTestServer server;
  testsupport::TempDir dir;
  fs::path cache = dir.path() / "cache";
  const ModelInfo base{.version = "v1", .variant = "base", .name = "whisper"};
};

TEST_F(ModelDownloaderTest, ResolveModelDownloadsOnceThenFindsTheCacheThenPrefersTheModelFolder) {
  LogCapture log(Logging::LogLevel::debug);
  States states;
  auto record = [&](ModelState s) { states.push_back(s); };

  // Nothing local: the cache step finds nothing, the download brings the model.
  auto found = downloader().resolveModel("AudioEncoder", base, std::nullopt, std::nullopt, true, record);
  EXPECT_EQ(found, encoderInCache());
  EXPECT_TRUE(readAll(found / "weights.safetensors") == kEncoderWeights);
  EXPECT_EQ(readAll(found / "model.json"), R"({"kind": "AudioEncoder"})");
  EXPECT_EQ(states, (States{ModelState::downloading, ModelState::downloaded}));
  EXPECT_EQ(log.containing("[ModelDownloader]"),
            (std::vector<std::string>{
                R"([ModelDownloader] Searching for models matching "whisper/v1/base/*" in Repo(id: "o/models", type: models))",
                "[ModelDownloader] Downloading model whisper/v1/base/* with offline mode: true",
                "[ModelDownloader] Downloading model whisper/v1/base/* with offline mode: false",
                "[ModelDownloader] Downloaded AudioEncoder",
            }));
  EXPECT_EQ(fileTransfers().size(), 3u);  // the three files of the variant, nothing else

  // Now in the cache: no transfer, one state.
  server.clearRequests();
  log.clear();
  states.clear();
  EXPECT_EQ(downloader().resolveModelPath("TextDecoder", base, std::nullopt, std::nullopt, false, record),
            (repoCopy() / "whisper" / "v1" / "base" / "TextDecoder.mlmodelc").string());
  EXPECT_EQ(states, States{ModelState::downloaded});
  EXPECT_TRUE(fileTransfers().empty());
  EXPECT_EQ(log.containing("[ModelDownloader]").back(), "[ModelDownloader] Found existing TextDecoder in cache");

  // A model folder that holds the model wins without any request or state; one that lacks it
  // (given as argument or in the configuration) hands over to the cache.
  const fs::path given = dir.path() / "given";
  writeFile(base.modelURL(given) / "AudioEncoder.mlmodelc" / "model.json", "{}");
  const fs::path empty = dir.path() / "empty";
  fs::create_directories(empty);
  server.clearRequests();
  log.clear();
  states.clear();
  EXPECT_EQ(downloader().resolveModel("AudioEncoder", base, given, std::nullopt, false, record),
            base.modelURL(given) / "AudioEncoder.mlmodelc");
  EXPECT_TRUE(server.requests().empty());
  EXPECT_TRUE(states.empty());
  EXPECT_EQ(log.containing("[ModelDownloader]"), std::vector<std::string>{"[ModelDownloader] Found AudioEncoder in model folder"});

  ModelDownloader configured({.downloadBase = cache.string(), .modelRepo = kRepo, .modelFolder = given.string(),
                              .endpoint = server.endpoint()});
  EXPECT_EQ(configured.resolveModel("AudioEncoder", base, std::nullopt, std::nullopt, false),
            base.modelURL(given) / "AudioEncoder.mlmodelc");
  EXPECT_EQ(configured.resolveModel("AudioEncoder", base, empty, std::nullopt, false, record), encoderInCache());
  EXPECT_EQ(states, States{ModelState::downloaded});
}

TEST_F(ModelDownloaderTest, ResolveModelFailuresSayWhyAndReportOnlyWhatHappened) {
  struct Case {
    const char* name;
    ModelInfo info;
    bool download;
    const char* message;
    States states;
  };
  const Case cases[] = {
      {"AudioEncoder", base, false, "No model found for AudioEncoder (download disabled)", {}},
      // Downloaded, but the variant has no such model.
      {"MelSpectrogram", base, true, "No model found for MelSpectrogram", {ModelState::downloading}},
      // No file matches the pattern: the download brings nothing.
      {"AudioEncoder", ModelInfo{.variant = "large", .name = "whisper"}, true, "No model found for AudioEncoder",
       {ModelState::downloading}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    States states;
    try {
      downloader().resolveModel(c.name, c.info, std::nullopt, std::nullopt, c.download,
                                [&](ModelState s) { states.push_back(s); });
      ADD_FAILURE() << "resolved";
    } catch (const ModelDownloaderError& e) {
      EXPECT_EQ(e.kind(), ModelDownloaderError::Kind::modelUnavailable);
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(states, c.states);
  }
}

TEST_F(ModelDownloaderTest, RepositoryFailuresOfTheDownloadPassThrough) {
  HubTestServer::FileFaults failing;
  failing.status = 500;
  server.setFaults("models", kRepo, "whisper/v1/base/TextDecoder.mlmodelc/model.json", failing);
  States states;
  try {
    downloader().resolveModel("TextDecoder", base, std::nullopt, std::nullopt, true,
                              [&](ModelState s) { states.push_back(s); });
    ADD_FAILURE() << "resolved";
  } catch (const hub::Hub::HubClientError& e) {
    EXPECT_EQ(e.kind(), hub::Hub::HubClientError::Kind::httpStatusCode);
    EXPECT_EQ(e.statusCode(), 500);
  }
  EXPECT_EQ(states, States{ModelState::downloading});
}

TEST_F(ModelDownloaderTest, AModelFolderCutShortInTheCacheIsDownloadedAgain) {
  downloader().resolveModel("AudioEncoder", base, std::nullopt, std::nullopt, true);
  // An interrupted download: the folder and the other file are there, the weights are not.
  fs::remove(encoderInCache() / "weights.safetensors");

  EXPECT_THROW(
      {
        try {
          downloader().resolveModel("AudioEncoder", base, std::nullopt, std::nullopt, false);
        } catch (const ModelDownloaderError& e) {
          EXPECT_STREQ(e.what(), "No model found for AudioEncoder (download disabled)");
          throw;
        }
      },
      ModelDownloaderError);
  try {
    downloader().downloadModel(base, std::nullopt, true);
    ADD_FAILURE() << "an incomplete copy was taken as the model";
  } catch (const ModelDownloaderError& e) {
    EXPECT_NE(std::string(e.what()).find("whisper/v1/base/AudioEncoder.mlmodelc/weights.safetensors is missing"),
              std::string::npos)
        << e.what();
  }

  States states;
  auto found = downloader().resolveModel("AudioEncoder", base, std::nullopt, std::nullopt, true,
                                         [&](ModelState s) { states.push_back(s); });
  EXPECT_EQ(states, (States{ModelState::downloading, ModelState::downloaded}));
  EXPECT_TRUE(readAll(found / "weights.safetensors") == kEncoderWeights);
}

TEST_F(ModelDownloaderTest, OfflineDownloadNeedsAMatchInTheListing) {
  LogCapture log(Logging::LogLevel::debug);
  const ModelInfo missing{.name = "parakeet"};
  try {
    downloader().downloadModel(missing, std::nullopt, true);
    ADD_FAILURE() << "found";
  } catch (const ModelDownloaderError& e) {
    EXPECT_STREQ(e.what(), R"(No models found matching "parakeet/*/*/*" in Repo(id: "o/models", type: models))");
  }
  EXPECT_EQ(log.containing("[ModelDownloader]"),
            std::vector<std::string>{
                R"([ModelDownloader] Searching for models matching "parakeet/*/*/*" in Repo(id: "o/models", type: models))"});
  // Offline with a listing match but no local copy: the client's error, unchanged.
  EXPECT_THROW(downloader().downloadModel(base, std::nullopt, true), hub::HubApi::EnvironmentError);
}

TEST_F(ModelDownloaderTest, ResolveRepoTakesLocalFoldersOnlyWhenEveryPatternNamesANonEmptyOne) {
  writeFile(repoCopy() / "models" / "base" / "model.json", "{}");
  writeFile(repoCopy() / "tokenizer" / "tokenizer.json", "{}");
  fs::create_directories(repoCopy() / "emptydir");
  struct Case {
    std::vector<std::string> patterns;
    bool present;
  };
  const Case cases[] = {
      {{"models/*", "tokenizer/*"}, true},
      {{"models/base/*.json"}, true},
      {{"/models//*"}, true},                   // empty pieces are dropped
      {{"tokenizer"}, true},                    // no wildcard: the named folder itself
      {{"models/*", "missing/*"}, false},
      {{"emptydir/*"}, false},
      {{"tokenizer/tokenizer.json"}, false},    // a file is no folder
      {{"*.json"}, false},                      // starts with a wildcard
      {{"mod*/base/*"}, false},
      {{""}, false},
      {{}, false},                              // the whole repository is never assumed present
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.patterns));
    server.clearRequests();
    LogCapture log(Logging::LogLevel::debug);
    if (c.present) {
      EXPECT_EQ(downloader().resolveRepo(c.patterns, std::nullopt, false), repoCopy());
      EXPECT_EQ(log.containing("[ModelDownloader]"),
                std::vector<std::string>{"[ModelDownloader] All models found in local cache at " + repoCopy().string()});
    } else {
      try {
        downloader().resolveRepo(c.patterns, std::nullopt, false);
        ADD_FAILURE() << "taken as present";
      } catch (const ModelDownloaderError& e) {
        EXPECT_STREQ(e.what(), "No local models found for repo 'o/models' and download is disabled.");
      }
    }
    EXPECT_TRUE(server.requests().empty());
  }
}

TEST_F(ModelDownloaderTest, ResolveRepoDownloadsWhatIsMissingWithProgress) {
  LogCapture log(Logging::LogLevel::info);
  std::vector<double> fractions;
  const fs::path other = dir.path() / "other";
  auto folder = downloader().resolveRepo({"config.json", "tokenizer/*"}, other, true,
                                         [&](const kestrum::Progress& p) { fractions.push_back(p.fractionCompleted()); });
  EXPECT_EQ(folder, other / "models" / "o" / "models");
  EXPECT_EQ(readAll(folder / "config.json"), "{}");
  EXPECT_EQ(readAll(folder / "tokenizer" / "tokenizer.json"), "{}");
  EXPECT_FALSE(fs::exists(folder / "whisper"));
  ASSERT_FALSE(fractions.empty());
  EXPECT_EQ(fractions.back(), 1.0);
  EXPECT_EQ(log.containing("[ModelDownloader]"),
            (std::vector<std::string>{"[ModelDownloader] Downloading 2 model(s) from o/models...",
                                      "[ModelDownloader] Download complete: " + folder.string()}));
  // Without a progress callback it downloads all the same.
  EXPECT_EQ(downloader().resolveRepo({"whisper/v1/tiny/*"}, std::nullopt, true), repoCopy());
  EXPECT_TRUE(fs::exists(repoCopy() / "whisper" / "v1" / "tiny" / "TextDecoder.mlmodelc" / "model.json"));
}

TEST_F(ModelDownloaderTest, ClientsUseTheConfiguredRepositoryRevisionTokenAndDownloadBase) {
  server.addRepository("models", "o/pinned", "fedcba9876543210fedcba9876543210fedcba98");
  server.addFile("models", "o/pinned", "a.json", "{}");
  server.addFile("models", "o/pinned", "b.txt", "");
  ModelDownloader pinned({.downloadBase = cache.string(),
                          .modelRepo = "o/pinned",
                          .modelToken = "secret",
                          .endpoint = server.endpoint(),
                          .revision = "fedcba9876543210fedcba9876543210fedcba98"});
  EXPECT_EQ(pinned.fetchFilenames({"*.json"}, std::nullopt), std::vector<std::string>{"a.json"});
  auto names = pinned.fetchFilenames({}, std::nullopt);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.json", "b.txt"}));
  const auto requests = server.requests();
  ASSERT_FALSE(requests.empty());
  for (const auto& r : requests) {
    EXPECT_NE(r.target.find("/api/models/o/pinned/revision/fedcba9876543210fedcba9876543210fedcba98"),
              std::string::npos)
        << r.target;
    EXPECT_EQ(r.header("Authorization"), "Bearer secret");
  }
  ModelDownloader unknownRevision({.modelRepo = "o/pinned", .endpoint = server.endpoint(), .revision = "nope"});
  EXPECT_THROW(unknownRevision.fetchFilenames({}, std::nullopt), hub::Hub::HubClientError);

  // The argument wins over the configuration, which wins over the client's own default.
  EXPECT_EQ(pinned.localRepoLocation(dir.path() / "x"), dir.path() / "x" / "models" / "o" / "pinned");
  EXPECT_EQ(pinned.localRepoLocation(std::nullopt), cache / "models" / "o" / "pinned");
  ModelDownloader bare(server.endpoint(), "o/pinned", std::nullopt, "main", false);
  EXPECT_EQ(bare.localRepoLocation(std::nullopt), hub::HubApi().downloadBase() / "models" / "o" / "pinned");
  EXPECT_EQ(bare.config().revision, "main");
  EXPECT_FALSE(bare.config().modelFolder.has_value());
}

}  // namespace
}  // namespace kestrum
