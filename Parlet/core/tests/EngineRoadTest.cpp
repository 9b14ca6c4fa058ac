// The whole road from a model repository to text, on the real engine: download (our layout and a
// checkpoint repository), packing, loading, tokenizer, transcription of a WAV file, the cache when
// the service is gone, and the dictation core's Transcriber on top.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Murmel/common/WhisperError.h"
#include "Murmel/Murmel.h"
#include "Parlet/core/MurmelSpeechEngine.h"
#include "Parlet/core/tests/RoadFixtures.h"
#include "Parlet/core/Transcriber.h"
#include "platform/Audio/AudioFile.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace parlet {
namespace {

namespace fs = std::filesystem;
using testsupport::HubTestServer;
using namespace parlet::testing;

constexpr const char* kOurRepo = "parlet/speech-models";

// What the narrow models say: "<|0.00|> hello world <|1.00|>", then the end of text.
const std::vector<std::int64_t>& script() {
  static const std::vector<std::int64_t> s = sayWords(2, 1.0);
  return s;
}

enum class Layout { ours, checkpoint };

// Puts a repository of the layout on the server, holding a narrow stand-in of base.en that says
// the script, with the generated tokenizer. Returns the repository to name: our layout's, or none
// for the checkpoint (the engine's default repository for "base.en", unless given another id).
std::optional<std::string> serveRepository(HubTestServer& server, Layout layout, const fs::path& scratch,
                                           const std::string& checkpointId = "openai/whisper-base.en") {
  const auto dims = narrowDimensions();
  const auto weights = scriptedWeights(dims, script());
  if (layout == Layout::checkpoint) {
    const std::string& id = checkpointId;
    server.addRepository("models", id);
    server.addFile("models", id, "README.md", "# narrow\n");
    server.addFile("models", id, "config.json", checkpointConfigJson(dims));
    server.addFile("models", id, "model.safetensors", checkpointWeights(weights), true);
    server.addFile("models", id, "tokenizer.json", generatedTokenizerJson(), true);
    server.addFile("models", id, "tokenizer_config.json", generatedTokenizerConfigJson());
    return std::nullopt;
  }
  const fs::path variant = scratch / "openai_whisper-base.en";
  platform::ml::ModelFolderOptions options;
  options.alignmentHeads = platform::ml::defaultAlignmentHeads(dims);
  platform::ml::writeModelFolders(variant, dims, weights, options);
  writeGeneratedTokenizer(variant);
  server.addRepository("models", kOurRepo);
  for (const auto& entry : fs::recursive_directory_iterator(scratch)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const bool large = content.size() > 64 * 1024;
    server.addFile("models", kOurRepo, fs::relative(entry.path(), scratch).generic_string(), std::move(content), large);
  }
  return kOurRepo;
}

std::vector<std::string> texts(const std::vector<EngineResult>& results) {
  std::vector<std::string> out;
  for (const auto& result : results) out.push_back(result.text);
  return out;
}

int transfers(const HubTestServer& server) {
  int count = 0;
  for (const auto& request : server.requests()) count += request.method == "GET" && request.target.find("/resolve/") != std::string::npos;
  return count;
}

class EngineRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    environment.set("CI_DISABLE_NETWORK_MONITOR", "1");  // online, whatever this machine's interfaces say
    writeToneWav(wav, 2.0);
  }
  // The application's arguments, with the cache in the test's folder and the service on `server`.
  EngineOptions applicationOptions(const HubTestServer& on, std::optional<std::string> repo) {
    environment.set("HF_ENDPOINT", on.endpoint());
    EngineOptions options = Transcriber::engineOptions();
    options.downloadBase = cache;
    options.modelRepo = std::move(repo);
    return options;
  }

  testsupport::EnvironmentGuard environment;
  testsupport::TempDir dir;
  fs::path cache = dir.path() / "cache";
  fs::path wav = dir.path() / "clip.wav";
};

class LayoutRoadTest : public EngineRoadTest, public ::testing::WithParamInterface<Layout> {};

TEST_P(LayoutRoadTest, DownloadsLoadsAndTranscribesThenWorksFromTheCacheWithoutTheService) {
  auto server = std::make_unique<HubTestServer>();
  const auto options = applicationOptions(*server, serveRepository(*server, GetParam(), dir.path() / "repository"));

  const auto engine = MurmelSpeechEngine::create(options);
  EXPECT_EQ(engine->engine()->modelState(), kestrum::ModelState::loaded);
  const auto folder = engine->engine()->modelFolder();
  ASSERT_TRUE(folder);
  EXPECT_EQ(fs::relative(*folder, cache).begin()->string(), "models") << *folder;
  EXPECT_EQ(texts(engine->transcribe(wav.string())), std::vector<std::string>{"hello world"});
  EXPECT_GT(transfers(*server), 0);

  server.reset();  // nothing answers at the endpoint any more
  const auto offline = makeMurmelEngineFactory()(options);
  EXPECT_EQ(std::dynamic_pointer_cast<MurmelSpeechEngine>(offline)->engine()->modelFolder(), folder);
  EXPECT_EQ(texts(offline->transcribe(wav.string())), std::vector<std::string>{"hello world"});
}

INSTANTIATE_TEST_SUITE_P(Layouts, LayoutRoadTest, ::testing::Values(Layout::ours, Layout::checkpoint),
                         [](const auto& info) { return info.param == Layout::ours ? "OurLayout" : "Checkpoint"; });

// The application names no download folder: the model goes into the user's cache folder
// ($XDG_CACHE_HOME, else ~/.cache), and nothing into the home folder's documents.
TEST_F(EngineRoadTest, ApplicationKeepsModelsInTheUsersCacheFolder) {
  HubTestServer server;
  serveRepository(server, Layout::checkpoint, dir.path());
  environment.set("HF_ENDPOINT", server.endpoint());
  const fs::path home = dir.path() / "home";
  fs::create_directories(home);
  environment.set("HOME", home.string());
  for (const fs::path& xdg : {dir.path() / "xdg", fs::path()}) {
    SCOPED_TRACE(xdg.empty() ? "XDG_CACHE_HOME unset" : "XDG_CACHE_HOME set");
    environment.set("XDG_CACHE_HOME", xdg.empty() ? std::nullopt : std::optional<std::string>(xdg.string()));
    const fs::path root = (xdg.empty() ? home / ".cache" : xdg) / "huggingface" / "models" / "openai" / "whisper-base.en";
    const auto engine = MurmelSpeechEngine::create(Transcriber::engineOptions());
    EXPECT_EQ(engine->engine()->modelFolder(), root / "openai_whisper-base.en");
    EXPECT_EQ(texts(engine->transcribe(wav.string())), std::vector<std::string>{"hello world"});
  }
  EXPECT_FALSE(fs::exists(home / "Documents"));
}

// A checkpoint repository named for one size whose model is as wide as none: the size guessed from
// the width names another tokenizer repository, which the service does not have, yet the
// checkpoint's own tokenizer is found and used.
TEST_F(EngineRoadTest, CheckpointsOwnTokenizerIsUsedWhateverTheModelsWidth) {
  HubTestServer server;
  serveRepository(server, Layout::checkpoint, dir.path(), "openai/whisper-tiny");
  EngineOptions options = applicationOptions(server, std::nullopt);
  options.model = "tiny";
  const auto engine = MurmelSpeechEngine::create(options);
  EXPECT_EQ(engine->engine()->modelFolder(), cache / "models" / "openai" / "whisper-tiny" / "openai_whisper-tiny");
  EXPECT_EQ(texts(engine->transcribe(wav.string())), std::vector<std::string>{"hello world"});
  for (const auto& request : server.requests())
    EXPECT_EQ(request.target.find("whisper-base"), std::string::npos) << request.target;
}

// Two dictations at once on a fresh Transcriber: one engine is created, with the application's
// arguments, and both get the text.
TEST_F(EngineRoadTest, TranscriberRunsOnTheRealEngine) {
  HubTestServer server;
  const EngineOptions options = applicationOptions(server, serveRepository(server, Layout::checkpoint, dir.path()));
  std::atomic<int> creations{0};
  const SpeechEngineFactory factory = makeMurmelEngineFactory();
  Transcriber transcriber([&](const EngineOptions& given) {
    ++creations;
    EXPECT_EQ(given, Transcriber::engineOptions());
    EngineOptions redirected = given;
    redirected.downloadBase = options.downloadBase;
    return factory(redirected);
  });
  std::string first, second;
  std::thread other([&] { second = transcriber.transcribe(wav); });
  first = transcriber.transcribe(wav);
  other.join();
  EXPECT_EQ(creations.load(), 1);
  EXPECT_EQ(first, "hello world");
  EXPECT_EQ(second, "hello world");
}

// Whether creation loads: the application leaves `load` absent and gets a loaded engine; false
// leaves loading to the first transcription.
TEST_F(EngineRoadTest, LoadOptionDecidesWhetherCreationLoads) {
  HubTestServer server;
  const EngineOptions base = applicationOptions(server, serveRepository(server, Layout::checkpoint, dir.path()));
  struct Case {
    std::optional<bool> load;
    kestrum::ModelState afterCreation;
  };
  for (const Case& c : {Case{std::nullopt, kestrum::ModelState::loaded}, Case{false, kestrum::ModelState::unloaded},
                        Case{true, kestrum::ModelState::loaded}}) {
    SCOPED_TRACE(c.load ? (*c.load ? "load true" : "load false") : "load absent");
    EngineOptions options = base;
    options.load = c.load;
    const auto engine = MurmelSpeechEngine::create(options);
    EXPECT_EQ(engine->engine()->modelState(), c.afterCreation);
    EXPECT_EQ(texts(engine->transcribe(wav.string())), std::vector<std::string>{"hello world"});
    EXPECT_EQ(engine->engine()->modelState(), kestrum::ModelState::loaded);
  }
}

// Errors reach the Transcriber's caller as the engine raised them.
TEST_F(EngineRoadTest, EngineErrorsPassThroughTheTranscriberUnchanged) {
  HubTestServer server;
  const EngineOptions present = applicationOptions(server, serveRepository(server, Layout::checkpoint, dir.path()));
  EngineOptions absent = present;
  absent.model = "tiny.en";  // its checkpoint repository is not on the server
  fs::path notAudio = dir.path() / "notes.wav";
  writeFile(notAudio, "these are not samples");

  struct Case {
    const char* name;
    EngineOptions options;
    fs::path audio;
    std::optional<murmel::WhisperError::Kind> kind;  // absent: the audio reader's own error
  };
  for (const Case& c : {Case{"model missing", absent, wav, murmel::WhisperError::Kind::modelsUnavailable},
                        Case{"audio missing", present, dir.path() / "gone.wav", murmel::WhisperError::Kind::loadAudioFailed},
                        Case{"not audio", present, notAudio, std::nullopt}}) {
    SCOPED_TRACE(c.name);
    const SpeechEngineFactory factory = makeMurmelEngineFactory();
    Transcriber transcriber([&](const EngineOptions&) { return factory(c.options); });
    try {
      transcriber.transcribe(c.audio);
      ADD_FAILURE() << "no error";
    } catch (const murmel::WhisperError& e) {
      ASSERT_TRUE(c.kind) << e.what();
      EXPECT_EQ(e.kind(), *c.kind) << e.what();
    } catch (const platform::audio::AudioFileError& e) {
      EXPECT_FALSE(c.kind) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.audio.string()), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace parlet
