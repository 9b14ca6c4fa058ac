#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Hub/Hub.h"
#include "KestrumCore/tests/LogCapture.h"
#include "Murmel/common/WhisperError.h"
#include "Murmel/data/Constants.h"
#include "Murmel/models/EngineModelUtilities.h"
#include "Murmel/models/ModelDownload.h"
#include "platform/ML/ModelFolders.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace murmel {
namespace {

namespace fs = std::filesystem;
using testsupport::HubTestServer;
using testsupport::LogCapture;

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Every regular file below `folder`, relative, sorted; the client's own ".cache" left out.
std::vector<std::string> filesBelow(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = fs::relative(it->path(), folder).generic_string();
    if (it->is_regular_file() && !name.starts_with(".cache")) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A tensor file written here from the published layout (8-byte little-endian header length, JSON
// header, F32 data), independently of the project's reader.
std::string safetensors(const platform::ml::WeightMap& weights) {
  std::ostringstream header;
  std::string data;
  header << "{";
  for (const auto& [name, tensor] : weights) {
    if (header.tellp() > 1) header << ",";
    header << "\"" << name << "\":{\"dtype\":\"F32\",\"shape\":[";
    for (std::size_t i = 0; i < tensor.shape.size(); ++i) header << (i ? "," : "") << tensor.shape[i];
    const std::size_t begin = data.size();
    data.append(reinterpret_cast<const char*>(tensor.data.data()), tensor.data.size() * sizeof(float));
    header << "],\"data_offsets\":[" << begin << "," << data.size() << "]}";
  }
  header << "}";
  const std::string text = header.str();
  std::string file(8, '\0');
  const std::uint64_t length = text.size();
  for (int i = 0; i < 8; ++i) file[i] = static_cast<char>((length >> (8 * i)) & 0xff);
  return file + text + data;
}

platform::ml::WhisperDimensions tinyDimensions() {
  platform::ml::WhisperDimensions d;
  d.nMels = 8, d.nAudioCtx = 12, d.nAudioState = d.nTextState = 16, d.nAudioHead = d.nTextHead = 4;
  d.nAudioLayer = d.nTextLayer = 2, d.nVocab = 64, d.nTextCtx = 32, d.nFf = 64, d.kvCacheLength = 24;
  return d;
}

std::string checkpointConfig(const platform::ml::WhisperDimensions& d) {
  std::ostringstream out;
  out << R"({"architectures": ["SpeechSeq2Seq"], "d_model": )" << d.nTextState << R"(, "encoder_layers": )"
      << d.nAudioLayer << R"(, "decoder_layers": )" << d.nTextLayer << R"(, "encoder_attention_heads": )"
      << d.nAudioHead << R"(, "decoder_attention_heads": )" << d.nTextHead << R"(, "num_mel_bins": )" << d.nMels
      << R"(, "vocab_size": )" << d.nVocab << R"(, "max_source_positions": )" << d.nAudioCtx
      << R"(, "max_target_positions": )" << d.nTextCtx << R"(, "encoder_ffn_dim": )" << d.nFf
      << R"(, "decoder_ffn_dim": )" << d.nFf << "}";
  return out.str();
}

// The files of a checkpoint repository of the model family, tiny, with random weights.
struct Checkpoint {
  std::string config = checkpointConfig(tinyDimensions());
  std::string weights = safetensors(platform::ml::randomWeights(tinyDimensions(), 3));
  std::string generation = R"({"alignment_heads": [[1, 2]]})";
  std::string tokenizer = R"({"model": {}})";
  std::string tokenizerConfig = R"({"tokenizer_class": "WhisperTokenizer"})";

  void serve(HubTestServer& server, const std::string& id, const std::string& commit = HubTestServer::kDefaultCommit) const {
    server.addRepository("models", id, commit);
    server.addFile("models", id, ".gitattributes", "*.safetensors filter=lfs\n");
    server.addFile("models", id, "README.md", "# tiny\n");
    server.addFile("models", id, "config.json", config);
    server.addFile("models", id, "generation_config.json", generation);
    server.addFile("models", id, "model.safetensors", weights, true);
    server.addFile("models", id, "flax_model.msgpack", std::string(100, 'f'), true);
    server.addFile("models", id, "tokenizer.json", tokenizer, true);
    server.addFile("models", id, "tokenizer_config.json", tokenizerConfig);
  }
  // The same checkpoint packed straight from a local folder: the reference for the downloaded one.
  fs::path packLocally(const fs::path& dir) const {
    fs::create_directories(dir / "checkpoint");
    std::ofstream(dir / "checkpoint" / "config.json") << config;
    std::ofstream(dir / "checkpoint" / "generation_config.json") << generation;
    std::ofstream(dir / "checkpoint" / "model.safetensors", std::ios::binary) << weights;
    platform::ml::packCheckpoint(dir / "checkpoint", dir / "packed");
    return dir / "packed";
  }
};

class ModelDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Online as far as the network state goes, whatever this machine's interfaces say.
    environment.set("CI_DISABLE_NETWORK_MONITOR", "1");
  }
  fs::path get(const std::string& variant, const std::string& repo, std::optional<bool> offline = std::nullopt,
               const std::optional<std::string>& endpoint = std::nullopt) const {
    return download(variant, cache, false, repo, std::nullopt, endpoint.value_or(server.endpoint()), {}, offline);
  }
  int listings() const {
    int count = 0;
    for (const auto& request : server.requests()) count += request.target.starts_with("/api/models/");
    return count;
  }
  // Callers asking for base.en at once; each must get the packed folder below `root`.
  void callAtOnce(const fs::path& root, const fs::path& reference);
  int transfers(const std::string& file) const {
    int count = 0;
    for (const auto& request : server.requests())
      count += request.method == "GET" && request.target.ends_with("/" + file);
    return count;
  }

  testsupport::EnvironmentGuard environment;
  HubTestServer server;
  testsupport::TempDir dir;
  fs::path cache = dir.path() / "cache";
};

// ---- Our layout: variant folders found by glob ----------------------------------------------------

struct GlobCase {
  const char* name;
  std::vector<std::string> folders;  // top-level folders of the repository, each with one model file
  const char* variant;
  const char* expectedFolder;  // nullptr: fails
  int expectedListings;  // the searches, and the snapshot's own listing when one is made
  const char* expectedError;
};

void PrintTo(const GlobCase& c, std::ostream* out) { *out << c.name; }

class GlobRoadTest : public ModelDownloadTest, public ::testing::WithParamInterface<GlobCase> {};

TEST_P(GlobRoadTest, PicksTheOneFolderOrSaysWhyNot) {
  const auto& c = GetParam();
  server.addRepository("models", "o/r");
  server.addFile("models", "o/r", "config.json", "{}");
  for (const auto& folder : c.folders) server.addFile("models", "o/r", folder + "/AudioEncoder.mlmodelc/model.json", folder);
  LogCapture log;
  if (c.expectedFolder) {
    const fs::path folder = get(c.variant, "o/r");
    EXPECT_EQ(folder, cache / "models" / "o" / "r" / c.expectedFolder);
    // Only the chosen folder came down.
    EXPECT_EQ(filesBelow(cache / "models" / "o" / "r"),
              std::vector<std::string>{std::string(c.expectedFolder) + "/AudioEncoder.mlmodelc/model.json"});
    EXPECT_EQ(readAll(folder / "AudioEncoder.mlmodelc" / "model.json"), c.expectedFolder);
  } else {
    try {
      get(c.variant, "o/r");
      FAIL() << "found a folder";
    } catch (const WhisperError& e) {
      EXPECT_EQ(e.kind(), WhisperError::Kind::modelsUnavailable);
      EXPECT_EQ(e.message(), c.expectedError);
    }
    EXPECT_EQ(log.containing("Multiple models found matching \"*" + std::string(c.variant) + "/*\"").size(), 1u);
  }
  EXPECT_EQ(listings(), c.expectedListings);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GlobRoadTest,
    ::testing::Values(
        GlobCase{"OneFolder", {"openai_whisper-base", "openai_whisper-base.en", "openai_whisper-tiny.en"}, "base.en",
                 "openai_whisper-base.en", 2, nullptr},
        GlobCase{"TwoFoldersThenTheOpenaiOne", {"distil_whisper-base.en", "openai_whisper-base.en"}, "base.en",
                 "openai_whisper-base.en", 3, nullptr},
        GlobCase{"None", {"openai_whisper-base"}, "small",
                 nullptr, 2, "No models found matching \"*openai*small/*\" in o/r (models)"},
        GlobCase{"TwoEvenByTheSecondPattern", {"openai_a-base.en", "openai_b-base.en"}, "base.en",
                 nullptr, 2, "Multiple models found matching \"*openai*base.en/*\" in o/r (models)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModelDownloadTest, ListingErrorsPassThroughUnchanged) {
  try {
    get("base.en", "o/missing");
    FAIL() << "listed a missing repository";
  } catch (const hub::Hub::HubClientError& e) {
    EXPECT_EQ(e.kind(), hub::Hub::HubClientError::Kind::fileNotFound) << e.what();
  }
}

// ---- Checkpoint repositories -----------------------------------------------------------------------

TEST_F(ModelDownloadTest, CheckpointIsDownloadedPackedIntoTheVariantFolderAndReused) {
  const Checkpoint checkpoint;
  checkpoint.serve(server, "openai/whisper-base.en");
  const fs::path root = cache / "models" / "openai" / "whisper-base.en";

  std::vector<double> fractions;
  const fs::path folder = download("base.en", cache, false, std::nullopt, std::nullopt, server.endpoint(),
                                   [&](const kestrum::Progress& p) { fractions.push_back(p.fractionCompleted()); });
  EXPECT_EQ(folder, root / "openai_whisper-base.en");
  ASSERT_FALSE(fractions.empty());
  EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
  // Only what packing and the tokenizer read came down, and the weights went once packed.
  for (const char* name : {"config.json", "generation_config.json", "tokenizer.json", "tokenizer_config.json"})
    EXPECT_TRUE(fs::exists(root / name)) << name;
  for (const char* name : {"model.safetensors", "README.md", "flax_model.msgpack", ".gitattributes"})
    EXPECT_FALSE(fs::exists(root / name)) << name;
  EXPECT_EQ(transfers("model.safetensors"), 1);
  const fs::path reference = checkpoint.packLocally(dir.path() / "reference");
  for (const char* model : {"MelSpectrogram.mlmodelc", "AudioEncoder.mlmodelc", "TextDecoder.mlmodelc"})
    for (const auto& file : filesBelow(reference / model))
      EXPECT_TRUE(readAll(folder / model / file) == readAll(reference / model / file)) << model << "/" << file;

  // Second time: the checkpoint is current and the packed folder is kept as it is.
  std::ofstream(folder / "kept") << "x";
  server.clearRequests();
  EXPECT_EQ(get("base.en", "openai/whisper-base.en"), folder);
  EXPECT_TRUE(fs::exists(folder / "kept"));
  EXPECT_EQ(transfers("model.safetensors"), 0);
  EXPECT_FALSE(fs::exists(root / "model.safetensors"));
}

std::uintmax_t bytesBelow(const fs::path& folder) {
  std::uintmax_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file()) total += entry.file_size();
  return total;
}

// After the first start the repository's copy, everything in it counted (the client's records,
// the companions, the packed folders with their source record), is not much more than the
// checkpoint's weights: their matrices are kept in half precision and the weights themselves go.
TEST_F(ModelDownloadTest, FirstStartKeepsAboutTheCheckpointsSizeOnDisk) {
  Checkpoint checkpoint;
  auto dims = tinyDimensions();
  dims.nVocab = 1024;  // the token table, as in the real models, the largest tensor
  checkpoint.config = checkpointConfig(dims);
  checkpoint.weights = safetensors(platform::ml::randomWeights(dims, 3));
  checkpoint.serve(server, "openai/whisper-base.en");
  const fs::path folder = get("base.en", "openai/whisper-base.en");
  const fs::path root = cache / "models" / "openai" / "whisper-base.en";
  const auto used = bytesBelow(root), weights = checkpoint.weights.size();
  EXPECT_LE(static_cast<double>(used), 1.2 * static_cast<double>(weights)) << used << " bytes for " << weights;
  const auto source = platform::ml::readCheckpointSource(folder);
  ASSERT_TRUE(source);
  EXPECT_EQ(source->repository, "openai/whisper-base.en");
  EXPECT_EQ(source->commit, HubTestServer::kDefaultCommit);
  EXPECT_EQ(source->etags.size(), 3u);  // config.json, generation_config.json, model.safetensors
  EXPECT_NE(source->etags.at("model.safetensors"), "");
}

// A cache as the earlier version left it: the weights beside a folder of f32 matrices with no
// source record. Offline the folder is used as it is; online it is packed again from the weights
// there, which then go.
TEST_F(ModelDownloadTest, EarlierCacheIsUsedOfflineAndPackedAgainOnline) {
  const Checkpoint checkpoint;
  checkpoint.serve(server, "openai/whisper-base.en");
  const fs::path folder = get("base.en", "openai/whisper-base.en");
  const fs::path root = folder.parent_path();
  // Rewrite the cache into the earlier layout.
  fs::remove(folder / "source.json");
  for (const char* model : {"AudioEncoder", "TextDecoder"}) {
    const fs::path file = folder / (std::string(model) + ".mlmodelc") / "weights.safetensors";
    const platform::ml::WeightMap all = platform::ml::randomWeights(tinyDimensions(), 3);
    platform::ml::WeightMap part;
    for (const auto& [name, tensor] : all)
      if (name.starts_with(model[0] == 'A' ? "model.encoder." : "model.decoder.")) part[name] = tensor;
    std::ofstream(file, std::ios::binary | std::ios::trunc) << safetensors(part);
  }
  std::ofstream(root / "model.safetensors", std::ios::binary) << checkpoint.weights;
  const std::string earlier = readAll(folder / "TextDecoder.mlmodelc" / "weights.safetensors");

  server.clearRequests();
  EXPECT_EQ(get("base.en", "openai/whisper-base.en", true), folder);
  EXPECT_TRUE(readAll(folder / "TextDecoder.mlmodelc" / "weights.safetensors") == earlier);
  EXPECT_EQ(server.requests().size(), 0u);

  EXPECT_EQ(get("base.en", "openai/whisper-base.en"), folder);
  const fs::path reference = checkpoint.packLocally(dir.path() / "reference");
  for (const char* model : {"AudioEncoder.mlmodelc", "TextDecoder.mlmodelc"})
    EXPECT_TRUE(readAll(folder / model / "weights.safetensors") == readAll(reference / model / "weights.safetensors"))
        << model;
  EXPECT_TRUE(platform::ml::readCheckpointSource(folder));
  EXPECT_FALSE(fs::exists(root / "model.safetensors"));
}

// The tokenizer files of a checkpoint repository stay at the root of its cache copy, the first place
// the tokenizer search looks: loading the tokenizer afterwards asks the service nothing.
TEST_F(ModelDownloadTest, CheckpointTokenizerIsWhereTheTokenizerSearchLooksFirst) {
  const fs::path fixture = testsupport::fixturesDir() / "tokenizers" / "whisper-tiny";
  PARLET_REQUIRE_FIXTURE(fixture / "tokenizer.json");
  environment.set("HF_ENDPOINT", server.endpoint());
  Checkpoint checkpoint;
  checkpoint.tokenizer = readAll(fixture / "tokenizer.json");
  checkpoint.tokenizerConfig = readAll(fixture / "tokenizer_config.json");
  checkpoint.serve(server, "openai/whisper-tiny");
  const fs::path folder = get("tiny", "openai/whisper-tiny");
  server.clearRequests();
  auto tokenizer = ModelUtilities::loadTokenizer(ModelVariant::tiny, cache, {folder});
  EXPECT_EQ(dynamic_cast<const WhisperTokenizerWrapper&>(*tokenizer).tokenizerFolder(), folder.parent_path());
  EXPECT_EQ(tokenizer->convertTokenToId("<|en|>"), 50259);
  EXPECT_EQ(server.requests().size(), 0u);
}

// The tokenizer a packed checkpoint brings is the one at the root of its repository's copy, and
// only a packed folder ("<owner>_<name>" inside ".../<owner>/<name>") has one.
TEST_F(ModelDownloadTest, OnlyAPackedCheckpointFolderBringsItsRepositorysTokenizer) {
  const fs::path fixture = testsupport::fixturesDir() / "tokenizers" / "whisper-tiny";
  PARLET_REQUIRE_FIXTURE(fixture / "tokenizer.json");
  Checkpoint checkpoint;
  checkpoint.tokenizer = readAll(fixture / "tokenizer.json");
  checkpoint.tokenizerConfig = readAll(fixture / "tokenizer_config.json");
  checkpoint.serve(server, "openai/whisper-tiny");
  const fs::path folder = get("tiny", "openai/whisper-tiny");
  server.clearRequests();
  const auto tokenizer = ModelUtilities::loadCheckpointTokenizer(folder / "");
  ASSERT_TRUE(tokenizer);
  EXPECT_EQ(dynamic_cast<const WhisperTokenizerWrapper&>(*tokenizer).tokenizerFolder(), folder.parent_path());
  EXPECT_EQ(tokenizer->convertTokenToId("<|en|>"), 50259);

  fs::copy(folder, folder.parent_path() / "openai_whisper-base", fs::copy_options::recursive);
  EXPECT_FALSE(ModelUtilities::loadCheckpointTokenizer(folder.parent_path() / "openai_whisper-base"));
  EXPECT_FALSE(ModelUtilities::loadCheckpointTokenizer(folder.parent_path()));
  fs::remove(folder.parent_path() / "tokenizer.json");
  EXPECT_FALSE(ModelUtilities::loadCheckpointTokenizer(folder));
  EXPECT_EQ(server.requests().size(), 0u);
}

// A later start asks whether the model changed and downloads nothing: the search's listing, the
// snapshot's own listing of the small files, and HEAD requests, as the README says.
TEST_F(ModelDownloadTest, LaterStartListsTwiceAndTransfersNoContent) {
  const Checkpoint checkpoint;
  checkpoint.serve(server, "openai/whisper-tiny");
  const fs::path folder = get("tiny", "openai/whisper-tiny");
  server.clearRequests();
  EXPECT_EQ(get("tiny", "openai/whisper-tiny"), folder);
  EXPECT_EQ(listings(), 2);
  for (const auto& request : server.requests())
    EXPECT_TRUE(request.target.starts_with("/api/models/") || request.method == "HEAD") << request.target;
}

// A first start on a slow line (32 KiB every 100 ms): the bar shows from the first of the small
// files (the tokenizer's) on, counts the small files and the weights in one total that never
// starts over, and moves in every second; a later start that finds everything current shows none.
TEST_F(ModelDownloadTest, FirstDownloadOnASlowLineShowsOneBarMovingEverySecond) {
  Checkpoint checkpoint;
  checkpoint.tokenizer = R"({"model": {}, "padding": ")" + std::string(640 * 1024, 'p') + "\"}";
  checkpoint.serve(server, "openai/whisper-base.en");
  HubTestServer::FileFaults slow;
  slow.burst = 32 * 1024;
  slow.burstEvery = std::chrono::milliseconds(100);
  server.setFaults("models", "openai/whisper-base.en", "tokenizer.json", slow);
  server.setFaults("models", "openai/whisper-base.en", "model.safetensors", slow);
  const std::int64_t total = std::int64_t(checkpoint.config.size() + checkpoint.generation.size() +
                                          checkpoint.tokenizer.size() + checkpoint.tokenizerConfig.size() +
                                          checkpoint.weights.size());

  using Clock = std::chrono::steady_clock;
  struct Report {
    double at;  // seconds since the start
    double fraction;
    std::int64_t total;
  };
  std::vector<Report> reports;
  const auto started = Clock::now();
  download("base.en", cache, false, std::nullopt, std::nullopt, server.endpoint(), [&](const kestrum::Progress& p) {
    reports.push_back({std::chrono::duration<double>(Clock::now() - started).count(), p.fractionCompleted(),
                       p.totalUnitCount()});
  });
  const double duration = std::chrono::duration<double>(Clock::now() - started).count();
  ASSERT_GE(duration, 2.0) << "the line was not slow";
  ASSERT_FALSE(reports.empty());
  EXPECT_LT(reports.front().at, 1.0);
  for (const Report& r : reports) EXPECT_EQ(r.total, total) << "at " << r.at << " s";
  for (std::size_t i = 1; i < reports.size(); ++i) EXPECT_GE(reports[i].fraction, reports[i - 1].fraction);
  for (int second = 0; second + 1 < duration; ++second) {
    double before = 0, after = 0;
    for (const Report& r : reports) {
      if (r.at < second) before = r.fraction;
      if (r.at < second + 1) after = r.fraction;
    }
    EXPECT_GT(after, before) << "the bar stood still between " << second << " and " << second + 1 << " s";
  }
  EXPECT_DOUBLE_EQ(reports.back().fraction, 1.0);

  reports.clear();
  download("base.en", cache, false, std::nullopt, std::nullopt, server.endpoint(),
           [&](const kestrum::Progress& p) { reports.push_back({0, p.fractionCompleted(), p.totalUnitCount()}); });
  EXPECT_TRUE(reports.empty()) << "a start with everything in the cache shows no download";
}

// The repository at a new commit: the folders are packed again, the weights downloaded again,
// when the weights or the configuration they are packed with changed, and kept as they are when
// only other files did.
TEST_F(ModelDownloadTest, ChangedCheckpointIsPackedAgain) {
  struct Case {
    const char* name;
    void (*change)(Checkpoint&);
    bool packedAgain;
  };
  const Case cases[] = {
      {"weights", [](Checkpoint& c) { c.weights = safetensors(platform::ml::randomWeights(tinyDimensions(), 4)); }, true},
      {"alignment heads", [](Checkpoint& c) { c.generation = R"({"alignment_heads": [[1, 3]]})"; }, true},
      {"tokenizer only", [](Checkpoint& c) { c.tokenizerConfig = R"({"tokenizer_class": "Other"})"; }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HubTestServer first;
    const Checkpoint original;
    original.serve(first, "openai/whisper-tiny");
    const fs::path folder = get("tiny", "openai/whisper-tiny", std::nullopt, first.endpoint());
    std::ofstream(folder / "kept") << "x";

    HubTestServer updated;
    Checkpoint second;
    c.change(second);
    second.serve(updated, "openai/whisper-tiny", "89abcdef0123456789abcdef0123456789abcdef");
    EXPECT_EQ(get("tiny", "openai/whisper-tiny", std::nullopt, updated.endpoint()), folder);
    int weightTransfers = 0;
    for (const auto& request : updated.requests())
      weightTransfers += request.method == "GET" && request.target.ends_with("/model.safetensors");
    EXPECT_EQ(weightTransfers, c.packedAgain ? 1 : 0);
    EXPECT_EQ(fs::exists(folder / "kept"), !c.packedAgain);
    const fs::path reference = second.packLocally(dir.path() / c.name);
    for (const char* model : {"AudioEncoder.mlmodelc", "TextDecoder.mlmodelc"})
      EXPECT_TRUE(readAll(folder / model / "weights.safetensors") == readAll(reference / model / "weights.safetensors"))
          << model;
    EXPECT_TRUE(readAll(folder / "TextDecoder.mlmodelc" / "model.json") == readAll(reference / "TextDecoder.mlmodelc" / "model.json"));
    EXPECT_EQ(readAll(folder.parent_path() / "tokenizer_config.json"), second.tokenizerConfig);
    EXPECT_FALSE(fs::exists(folder.parent_path() / "model.safetensors"));
    fs::remove_all(cache);
  }
}

TEST_F(ModelDownloadTest, ShardedCheckpointIsRefusedBeforeAnyTransfer) {
  server.addRepository("models", "o/sharded");
  server.addFile("models", "o/sharded", "config.json", checkpointConfig(tinyDimensions()));
  server.addFile("models", "o/sharded", "model.safetensors.index.json", R"({"weight_map": {}})");
  server.addFile("models", "o/sharded", "model-00001-of-00002.safetensors", "a", true);
  server.addFile("models", "o/sharded", "model-00002-of-00002.safetensors", "b", true);
  try {
    get("base.en", "o/sharded");
    FAIL() << "took a sharded checkpoint";
  } catch (const WhisperError& e) {
    EXPECT_NE(e.message().find("not supported"), std::string::npos) << e.message();
    EXPECT_NE(e.message().find("o/sharded"), std::string::npos) << e.message();
  }
  EXPECT_EQ(filesBelow(cache), std::vector<std::string>{});
}

// A checkpoint the packer refuses, before writing (a missing tensor) or while writing (a value that
// is not finite): the error comes through and nothing in the cache holds a model folder, so no
// later call takes a half-written folder for a packed one.
TEST_F(ModelDownloadTest, FailedPackLeavesNoFolderThatLooksComplete) {
  const std::vector<std::pair<const char*, void (*)(platform::ml::WeightMap&)>> faults{
      {"missing tensor", [](platform::ml::WeightMap& w) { w.erase("model.decoder.layer_norm.weight"); }},
      {"not finite", [](platform::ml::WeightMap& w) { w.at("model.decoder.layers.1.fc2.weight").data[5] = NAN; }},
  };
  for (const auto& [name, fault] : faults) {
    SCOPED_TRACE(name);
    const std::string repo = std::string("o/") + (name[0] == 'm' ? "missing" : "nan");
    Checkpoint broken;
    auto weights = platform::ml::randomWeights(tinyDimensions(), 3);
    fault(weights);
    broken.weights = safetensors(weights);
    broken.serve(server, repo);
    EXPECT_THROW(get("base.en", repo), std::exception);
    for (const auto& file : filesBelow(cache)) EXPECT_EQ(file.find(".mlmodelc"), std::string::npos) << file;
    EXPECT_THROW(get("base.en", repo, true), std::exception);
  }
}

// ---- Hostile repositories ---------------------------------------------------------------------------

struct HostileCase {
  const char* name;
  std::function<void(HubTestServer&, const std::string& repo, Checkpoint&)> apply;  // before serving
  std::function<void(HubTestServer&, const std::string& repo)> after;               // after serving
  std::string message;                                                              // part of the error
};

void PrintTo(const HostileCase& c, std::ostream* out) { *out << c.name; }

class HostileRepositoryTest : public ModelDownloadTest, public ::testing::WithParamInterface<HostileCase> {};

// Refused with a clear error, quickly; nothing is written beside the cache, and nothing in the cache
// looks like a model folder, also when asked again offline.
TEST_P(HostileRepositoryTest, IsRefusedWithoutWritingOutsideTheCacheOrLeavingAModel) {
  const auto& c = GetParam();
  const std::string repo = "openai/whisper-base.en";
  Checkpoint checkpoint;
  if (c.apply) c.apply(server, repo, checkpoint);
  checkpoint.serve(server, repo);
  if (c.after) c.after(server, repo);
  try {
    get("base.en", repo);
    FAIL() << "took a hostile repository";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
  }
  std::vector<std::string> beside;
  for (const auto& entry : fs::directory_iterator(dir.path())) beside.push_back(entry.path().filename().string());
  EXPECT_TRUE(beside.empty() || beside == std::vector<std::string>{"cache"}) << ::testing::PrintToString(beside);
  for (const auto& file : filesBelow(cache)) EXPECT_EQ(file.find(".mlmodelc"), std::string::npos) << file;
  EXPECT_THROW(get("base.en", repo, true), std::exception);
}

std::string withNumber(std::string config, const std::string& key, const std::string& value) {
  const std::size_t begin = config.find("\"" + key + "\": ") + key.size() + 4;
  return config.replace(begin, config.find_first_of(",}", begin) - begin, value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileRepositoryTest,
    ::testing::Values(
        HostileCase{"ConfigurationNotJson",
                    [](HubTestServer&, const std::string&, Checkpoint& c) { c.config = "<html>busy</html>"; }, {},
                    "config.json: cannot be read"},
        HostileCase{"HugeLayerCount",
                    [](HubTestServer&, const std::string&, Checkpoint& c) {
                      c.config = withNumber(c.config, "decoder_layers", "4000000000000000000");
                    },
                    {}, "4000000000000000000 decoder layers"},
        HostileCase{"NegativeWidth",
                    [](HubTestServer&, const std::string&, Checkpoint& c) { c.config = withNumber(c.config, "d_model", "-16"); },
                    {}, "\"d_model\" is -16, not positive"},
        HostileCase{"WeightsHeaderPastTheEnd",
                    [](HubTestServer&, const std::string&, Checkpoint& c) {
                      for (int i = 0; i < 8; ++i) c.weights[i] = static_cast<char>(i == 7 ? 0x7f : 0xff);
                    },
                    {}, "points past the end of the file"},
        HostileCase{"WeightsLongerThanAnnounced", {},
                    [](HubTestServer& s, const std::string& r) {
                      HubTestServer::FileFaults faults;
                      faults.sizeSkew = 1;
                      s.setFaults("models", r, "model.safetensors", faults);
                    },
                    "model.safetensors"},
        HostileCase{"ConfigurationLongerThanAnnounced", {},
                    [](HubTestServer& s, const std::string& r) {
                      HubTestServer::FileFaults faults;
                      faults.sizeSkew = 1;
                      s.setFaults("models", r, "config.json", faults);
                    },
                    "config.json"}),
    [](const auto& info) { return std::string(info.param.name); });

// Names in the listing that the variant's pattern picks but that lead out of the repository's copy:
// the download is refused and nothing is written beside the cache.
TEST_F(ModelDownloadTest, ListedNamesLeadingOutOfTheCacheAreRefused) {
  const std::vector<std::string> names{"../openai_whisper-base.en/x",
                                       "/tmp/openai_whisper-base.en/x",
                                       "openai_whisper-base.en/../../../x",
                                       "openai_whisper-base.en/a\\..\\..\\x",
                                       "openai_whisper-base.en/\n/../../x",
                                       std::string("openai_whisper-base.en/x\0/../../y", 33)};
  for (std::size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(::testing::PrintToString(names[i]));
    const std::string repo = "o/r" + std::to_string(i);
    server.addRepository("models", repo);
    for (const char* model : {"MelSpectrogram", "AudioEncoder", "TextDecoder"})
      server.addFile("models", repo, std::string("openai_whisper-base.en/") + model + ".mlmodelc/model.json", "{}");
    server.addListingName("models", repo, names[i]);
    try {
      get("base.en", repo);
      FAIL() << "took the listing";
    } catch (const hub::Hub::HubClientError& e) {
      EXPECT_NE(std::string(e.what()).find("unsafe file name"), std::string::npos) << e.what();
    }
    std::vector<std::string> beside;
    for (const auto& entry : fs::directory_iterator(dir.path())) beside.push_back(entry.path().filename().string());
    EXPECT_TRUE(beside.empty() || beside == std::vector<std::string>{"cache"}) << ::testing::PrintToString(beside);
    EXPECT_EQ(filesBelow(cache), std::vector<std::string>{});
  }
}

// Several callers at once (dictation processes starting together), on a fresh cache and on one
// whose packed folder lost a model: each ends with the one packed folder, equal to a pack of its
// own, and no temporary folder or lock stays.
TEST_F(ModelDownloadTest, CallersPackingAtOnceShareOnePackedFolder) {
  const Checkpoint checkpoint;
  checkpoint.serve(server, "openai/whisper-base.en");
  const fs::path root = cache / "models" / "openai" / "whisper-base.en";
  const fs::path reference = checkpoint.packLocally(dir.path() / "reference");
  for (const bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "damaged" : "fresh");
    if (damaged) fs::remove_all(root / "openai_whisper-base.en" / "TextDecoder.mlmodelc");
    callAtOnce(root, reference);
  }
}

void ModelDownloadTest::callAtOnce(const fs::path& root, const fs::path& reference) {
  constexpr int kCallers = 8;
  std::vector<fs::path> folders(kCallers);
  std::vector<std::string> errors(kCallers);
  {
    std::vector<std::jthread> callers;
    for (int i = 0; i < kCallers; ++i)
      callers.emplace_back([&, i] {
        try {
          folders[i] = get("base.en", "openai/whisper-base.en");
        } catch (const std::exception& e) {
          errors[i] = e.what();
        }
      });
  }
  for (int i = 0; i < kCallers; ++i) {
    EXPECT_EQ(errors[i], "") << i;
    EXPECT_EQ(folders[i], root / "openai_whisper-base.en") << i;
  }
  for (const char* model : {"AudioEncoder.mlmodelc", "TextDecoder.mlmodelc"})
    EXPECT_TRUE(readAll(root / "openai_whisper-base.en" / model / "weights.safetensors") ==
                readAll(reference / model / "weights.safetensors"))
        << model;
  for (const auto& entry : fs::directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(!name.starts_with(".") || name == ".cache") << name;
  }
}

// A checkpoint whose tokenizer file is not JSON: the tokenizer fails to load with the file named, once
// from the cache copy and once from the service, and nothing crashes.
TEST_F(ModelDownloadTest, CheckpointTokenizerThatIsNotJsonFailsNamingTheFile) {
  environment.set("HF_ENDPOINT", server.endpoint());
  Checkpoint checkpoint;
  checkpoint.tokenizer = "<html>busy</html>";
  checkpoint.serve(server, "openai/whisper-tiny");
  const fs::path folder = get("tiny", "openai/whisper-tiny");
  try {
    ModelUtilities::loadTokenizer(ModelVariant::tiny, cache, {folder});
    FAIL() << "loaded a tokenizer that is not JSON";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("tokenizer.json"), std::string::npos) << e.what();
  }
}

// ---- The cache without the service ----------------------------------------------------------------

struct CacheCase {
  const char* name;
  bool checkpoint;  // else our layout
  enum How { offlineMode, unreachable } how;
  bool linkedCache = false;  // the cache moved to another folder of ours, a link in its place
};

void PrintTo(const CacheCase& c, std::ostream* out) { *out << c.name; }

class CacheRoadTest : public ModelDownloadTest, public ::testing::WithParamInterface<CacheCase> {};

TEST_P(CacheRoadTest, DownloadedVariantIsFoundWithoutTheService) {
  const auto& c = GetParam();
  const fs::path bigdisk = dir.path() / "bigdisk";
  if (c.linkedCache) {
    fs::create_directories(bigdisk);
    fs::create_directory_symlink(bigdisk, cache);
  }
  auto first = std::make_unique<HubTestServer>();
  const std::string repo = c.checkpoint ? "openai/whisper-base.en" : "o/r";
  if (c.checkpoint) {
    Checkpoint().serve(*first, repo);
  } else {
    first->addRepository("models", repo);
    first->addFile("models", repo, "config.json", "{}");
    for (const char* model : {"MelSpectrogram", "AudioEncoder", "TextDecoder"})
      first->addFile("models", repo, std::string("openai_whisper-base.en/") + model + ".mlmodelc/model.json", "{}");
    first->addFile("models", repo, "openai_whisper-base/AudioEncoder.mlmodelc/model.json", "{}");
  }
  const fs::path folder = get("base.en", repo, std::nullopt, first->endpoint());
  if (c.linkedCache) {
    EXPECT_TRUE(folder.string().starts_with(fs::canonical(bigdisk).string() + "/"))
        << folder << " lies in the folder the link leads to";
  }
  const std::string endpoint = first->endpoint();
  first->clearRequests();
  if (c.how == CacheCase::unreachable) first.reset();  // nothing listens there any more
  const auto offline = c.how == CacheCase::offlineMode ? std::optional<bool>(true) : std::nullopt;

  LogCapture log(kestrum::Logging::LogLevel::info);
  EXPECT_EQ(get("base.en", repo, offline, endpoint), folder);
  EXPECT_EQ(log.containing("Using cached model folder " + folder.string()).size(), 1u);
  if (first) {
    EXPECT_EQ(first->requests().size(), 0u);
  }
  // A variant that never came down is still missing: offline that is the error, unreachable the
  // transfer's own error comes through.
  const std::string other = c.checkpoint ? "openai/whisper-tiny" : repo;
  if (first) {
    EXPECT_THROW(get("tiny", other, offline, endpoint), WhisperError);
  } else {
    EXPECT_THROW(get("tiny", other, offline, endpoint), hub::Hub::HubClientError);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CacheRoadTest,
                         ::testing::Values(CacheCase{"CheckpointOffline", true, CacheCase::offlineMode},
                                           CacheCase{"CheckpointUnreachable", true, CacheCase::unreachable},
                                           CacheCase{"OurLayoutOffline", false, CacheCase::offlineMode},
                                           CacheCase{"OurLayoutUnreachable", false, CacheCase::unreachable},
                                           CacheCase{"CheckpointOfflineLinkedCache", true, CacheCase::offlineMode, true},
                                           CacheCase{"OurLayoutUnreachableLinkedCache", false, CacheCase::unreachable,
                                                     true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Offline, a variant folder of our layout is used only when its download finished: a snapshot
// that broke off after the three model folders were there, a file cut short or changed later, or
// a missing record all leave the cache unused.
TEST_F(ModelDownloadTest, UnfinishedDownloadOfOurLayoutIsNeverUsedOffline) {
  server.addRepository("models", "o/r");
  server.addFile("models", "o/r", "config.json", "{}");
  for (const char* model : {"MelSpectrogram", "AudioEncoder", "TextDecoder"})
    server.addFile("models", "o/r", std::string("openai_whisper-base.en/") + model + ".mlmodelc/model.json", "{}");
  const std::string weights = "openai_whisper-base.en/TextDecoder.mlmodelc/weights.safetensors";
  server.addFile("models", "o/r", weights, std::string(5000, 'w'), true);
  const fs::path folder = cache / "models" / "o" / "r" / "openai_whisper-base.en";
  auto offline = [&] { return get("base.en", "o/r", true); };

  HubTestServer::FileFaults broken;
  broken.status = 500;
  server.setFaults("models", "o/r", weights, broken);
  EXPECT_ANY_THROW(get("base.en", "o/r"));
  ASSERT_TRUE(fs::exists(folder / "TextDecoder.mlmodelc" / "model.json"));  // three model folders, weights missing
  EXPECT_THROW(offline(), WhisperError);

  server.setFaults("models", "o/r", weights, {});
  EXPECT_EQ(get("base.en", "o/r"), folder);
  EXPECT_EQ(offline(), folder);

  struct Case {
    const char* name;
    std::function<void()> damage;
  } cases[] = {
      {"file cut short", [&] { fs::resize_file(cache / "models" / "o" / "r" / weights, 4000); }},
      {"same size, other bytes",
       [&] {
         const fs::path file = cache / "models" / "o" / "r" / weights;
         const auto written = fs::last_write_time(file);
         std::ofstream(file, std::ios::binary) << std::string(5000, 'x');
         fs::last_write_time(file, written + std::chrono::seconds(1));  // a later write, whatever the clock's grain
       }},
      {"record missing", [&] { fs::remove(cache / "models" / "o" / "r" / ".cache" / "murmel" / "openai_whisper-base.en.complete"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.damage();
    EXPECT_THROW(offline(), WhisperError);
    // Online the folder is brought up to date and recorded again.
    fs::remove(cache / "models" / "o" / "r" / weights);
    EXPECT_EQ(get("base.en", "o/r"), folder);
    EXPECT_EQ(offline(), folder);
  }
}

TEST_F(ModelDownloadTest, FolderListingFarMoreFilesThanAModelHasIsNotFetched) {
  server.addRepository("models", "o/r");
  for (const char* model : {"MelSpectrogram", "AudioEncoder", "TextDecoder"})
    server.addFile("models", "o/r", std::string("openai_whisper-base.en/") + model + ".mlmodelc/model.json", "{}");
  for (int i = 0; i < 200; ++i)
    server.addFile("models", "o/r", "openai_whisper-base.en/junk/" + std::to_string(i) + ".bin", "x");
  try {
    get("base.en", "o/r");
    FAIL() << "a folder of 203 files was fetched";
  } catch (const WhisperError& e) {
    EXPECT_EQ(e.kind(), WhisperError::Kind::modelsUnavailable);
    EXPECT_EQ(e.message(),
              "The model folder openai_whisper-base.en of o/r (models) lists 203 files; a model folder has at most 64");
  }
  for (const auto& request : server.requests())
    EXPECT_EQ(request.target.find("/resolve/"), std::string::npos) << request.method << " " << request.target;
}

// A cache that became read-only: online, the engine's own record of the folder cannot be
// renewed, and the message says why in plain words; offline the folder is still used.
TEST_F(ModelDownloadTest, ReadOnlyCacheIsSaidInPlainWordsAndStillServesOffline) {
  testsupport::SmallFileSystem disk(cache, "4m");
  if (!disk.mounted()) GTEST_SKIP() << disk.why();
  server.addRepository("models", "o/r");
  for (const char* model : {"MelSpectrogram", "AudioEncoder", "TextDecoder"})
    server.addFile("models", "o/r", std::string("openai_whisper-base.en/") + model + ".mlmodelc/model.json", "{}");
  const fs::path folder = get("base.en", "o/r");
  if (!disk.makeReadOnly()) GTEST_SKIP() << disk.why();
  try {
    get("base.en", "o/r");
    FAIL() << "the record was written into a read-only cache";
  } catch (const WhisperError& e) {
    EXPECT_EQ(e.kind(), WhisperError::Kind::modelsUnavailable);
    EXPECT_EQ(e.message(),
              "the model cache at " + cache.string() + " is on a read-only file system; nothing can be saved there");
  }
  EXPECT_EQ(get("base.en", "o/r", true), folder);
}

TEST_F(ModelDownloadTest, OfflineWithoutACopySaysWhatIsMissing) {
  try {
    get("base.en", "openai/whisper-base.en", true);
    FAIL() << "found a model in an empty cache";
  } catch (const WhisperError& e) {
    EXPECT_EQ(e.kind(), WhisperError::Kind::modelsUnavailable);
    EXPECT_NE(e.message().find("base.en"), std::string::npos) << e.message();
    EXPECT_NE(e.message().find("offline"), std::string::npos) << e.message();
  }
  EXPECT_EQ(server.requests().size(), 0u);
}

// ---- Model names and repositories -------------------------------------------------------------------

TEST(ModelRepositoryTest, ModelNamesMapToTheFamilysCheckpointRepository) {
  const std::vector<std::pair<const char*, std::optional<std::string>>> cases{
      {"base.en", "openai/whisper-base.en"},
      {"large-v3", "openai/whisper-large-v3"},
      {"openai_whisper-base.en", "openai/whisper-base.en"},
      {"openai_whisper-large-v3-turbo", "openai/whisper-large-v3-turbo"},
      {"distil-whisper_distil-large-v3", "distil-whisper/distil-large-v3"},
      {"openai_whisper-large-v3_947MB", std::nullopt},
      {"openai_whisper-large-v2_turbo", std::nullopt},
      {"openai_", std::nullopt},
      {"openai_..", std::nullopt},  // would name the owner's parent folder in the cache
      {"distil-whisper_.", std::nullopt},
      {"someone_whisper-base", std::nullopt},
      {"base.en/", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [model, repo] : cases) EXPECT_EQ(checkpointRepository(model), repo) << model;
  EXPECT_EQ(defaultModelRepository("openai_whisper-large-v3_947MB"), defaultModelRepo);
  EXPECT_EQ(defaultModelRepository("tiny"), "openai/whisper-tiny");
  EXPECT_EQ(checkpointVariantFolder("openai/whisper-base.en"), "openai_whisper-base.en");
}

// ---- Model support -----------------------------------------------------------------------------------

// A table whose one row matches every device (the empty prefix).
std::string supportTable(const std::string& defaultModel, const std::vector<std::string>& supported) {
  std::string list;
  for (const auto& name : supported) list += (list.empty() ? "\"" : ", \"") + name + "\"";
  return R"({"name": "test-table", "version": "1", "device_support": [{"identifiers": [""], "models": {"default": ")" +
         defaultModel + R"(", "supported": [)" + list + "]}}]}";
}

struct FallbackCase {
  const char* name;
  void (*setUp)(HubTestServer&);
  const char* logLine;
};

void PrintTo(const FallbackCase& c, std::ostream* out) { *out << c.name; }

class SupportFallbackTest : public ModelDownloadTest, public ::testing::WithParamInterface<FallbackCase> {};

TEST_P(SupportFallbackTest, BuiltInTableWhenTheRemoteOneCannotBeRead) {
  GetParam().setUp(server);
  LogCapture log;
  const auto config = fetchModelSupportConfig("o/r", cache, std::nullopt, "config.json", server.endpoint());
  EXPECT_EQ(config.toJson(), Constants::fallbackModelSupportConfig().toJson());
  EXPECT_EQ(log.containing(GetParam().logLine).size(), 1u) << GetParam().logLine;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SupportFallbackTest,
    ::testing::Values(
        FallbackCase{"NoFile",
                     [](HubTestServer& s) {
                       s.addRepository("models", "o/r");
                       s.addFile("models", "o/r", "other.json", "{}");
                     },
                     "No config files found matching \"config.json\" in o/r, using fallback"},
        FallbackCase{"NotATable",
                     [](HubTestServer& s) {
                       s.addRepository("models", "o/r");
                       s.addFile("models", "o/r", "config.json", R"({"d_model": 512})");
                     },
                     "Fetch model support config failed with error: "},
        FallbackCase{"NoRepository", [](HubTestServer&) {}, "Fetch model support config failed with error: "},
        FallbackCase{"FailedTransfer",
                     [](HubTestServer& s) {
                       s.addRepository("models", "o/r");
                       s.addFile("models", "o/r", "config.json", supportTable("a", {"a"}));
                       HubTestServer::FileFaults faults;
                       faults.status = 500;
                       s.setFaults("models", "o/r", "config.json", faults);
                     },
                     "Fetch model support config failed with error: "},
        // A valid table padded past 1 MiB, and one of 5,000 rows (427 KB) that once took 828 MB.
        FallbackCase{"OverMaxDocumentBytes",
                     [](HubTestServer& s) {
                       s.addRepository("models", "o/r");
                       std::string table = supportTable("a", {"a"});
                       table.insert(table.size() - 1, std::string(ModelSupportConfig::maxDocumentBytes, ' '));
                       s.addFile("models", "o/r", "config.json", table);
                     },
                     "is larger than 1048576 bytes"},
        FallbackCase{"OverMaxRows",
                     [](HubTestServer& s) {
                       s.addRepository("models", "o/r");
                       std::string rows;
                       for (int i = 0; i < 5000; ++i)
                         rows += std::string(i ? "," : "") + R"({"identifiers": ["Mac)" + std::to_string(i) +
                                 R"("], "models": {"default": "m", "supported": ["m)" + std::to_string(i) + R"("]}})";
                       s.addFile("models", "o/r", "config.json",
                                 R"({"name": "t", "version": "1", "device_support": [)" + rows + "]}");
                     },
                     "The model-support table has 5000 rows; at most 256 are read"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModelDownloadTest, FirstOfSeveralSupportFilesIsUsed) {
  server.addRepository("models", "o/r");
  server.addFile("models", "o/r", "b/support.json", supportTable("openai_whisper-small", {"openai_whisper-small"}));
  server.addFile("models", "o/r", "a/support.json", supportTable("openai_whisper-tiny", {"openai_whisper-tiny"}));
  LogCapture log;
  const auto support = recommendedRemoteModels("o/r", cache, std::nullopt, "*support.json", server.endpoint());
  EXPECT_EQ(support.defaultModel, "openai_whisper-small");
  EXPECT_EQ(log.containing("Multiple config files found (2): [\"b/support.json\", \"a/support.json\"]. "
                           "Using first matching file: b/support.json")
                .size(),
            1u);
  EXPECT_FALSE(fs::exists(cache / "models" / "o" / "r" / "a"));
}

TEST_F(ModelDownloadTest, AvailableModelsListEachMatchOnceInDisplayOrder) {
  server.addRepository("models", "o/r");
  server.addFile("models", "o/r", "config.json",
                 supportTable("openai_whisper-base",
                              {"openai_whisper-base.en", "openai_whisper-small", "openai_whisper-base",
                               "openai_whisper-tiny", "openai_whisper-large-v3_947MB"}));
  const auto names = fetchAvailableModels("o/r", {"*base*", "*tiny*", "*base*"}, cache, std::nullopt, "config.json",
                                          server.endpoint());
  EXPECT_EQ(names, (std::vector<std::string>{"openai_whisper-tiny", "openai_whisper-base", "openai_whisper-base.en"}));
}

}  // namespace
}  // namespace murmel
