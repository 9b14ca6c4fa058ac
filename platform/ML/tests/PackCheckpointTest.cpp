#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <fstream>
#include <functional>

#include "platform/ML/detail/Safetensors.h"
#include "platform/ML/tests/DecoderSession.h"
#include "platform/ML/tests/TinyModel.h"

namespace platform::ml::testing {
namespace {

namespace fs = std::filesystem;

// A checkpoint folder as the model family publishes it: config.json and model.safetensors.
void writeCheckpoint(const fs::path& folder, const WhisperDimensions& d, const WeightMap& weights) {
  fs::create_directories(folder);
  std::ofstream(folder / "config.json") << R"({"architectures": ["SpeechSeq2Seq"], "d_model": )" << d.nTextState
                                        << R"(, "encoder_layers": )" << d.nAudioLayer << R"(, "decoder_layers": )"
                                        << d.nTextLayer << R"(, "encoder_attention_heads": )" << d.nAudioHead
                                        << R"(, "decoder_attention_heads": )" << d.nTextHead << R"(, "num_mel_bins": )"
                                        << d.nMels << R"(, "vocab_size": )" << d.nVocab << R"(, "max_source_positions": )"
                                        << d.nAudioCtx << R"(, "max_target_positions": )" << d.nTextCtx
                                        << R"(, "encoder_ffn_dim": )" << d.nFf << R"(, "decoder_ffn_dim": )" << d.nFf << "}";
  std::ofstream(folder / "generation_config.json") << R"({"alignment_heads": [[1, 2]]})";
  std::map<std::string, detail::Tensor> tensors;
  for (const auto& [name, t] : weights) tensors[name.substr(6)] = {t.shape, t.data};  // an export without "model."
  // Tied to the token table in the family's exports; not part of the folders.
  tensors["proj_out.weight"] = {{d.nVocab, d.nTextState}, weights.at("model.decoder.embed_tokens.weight").data};
  detail::writeSafetensors(folder / "model.safetensors", tensors);
}

TEST(PackCheckpointTest, PackedModelsComputeWhatTheirWeightsDefine) {
  testsupport::TempDir dir;
  auto d = tinyDimensions();
  d.kvCacheLength = d.nTextCtx;  // the packer caps S at 224 and the position table
  const auto weights = randomWeights(d, 5);
  writeCheckpoint(dir.path() / "checkpoint", d, weights);
  packCheckpoint(dir.path() / "checkpoint", dir.path() / "packed");
  ModelFolderOptions options;
  options.alignmentHeads = {{1, 2}};
  writeModelFolders(dir.path() / "direct", d, weights, options);

  EXPECT_FALSE(fs::exists(dir.path() / "packed/TextDecoderContextPrefill.mlmodelc"));
  for (const char* name : {"MelSpectrogram", "AudioEncoder", "TextDecoder"})
    EXPECT_EQ(fs::file_size(dir.path() / "packed" / (std::string(name) + ".mlmodelc/model.json")),
              fs::file_size(dir.path() / "direct" / (std::string(name) + ".mlmodelc/model.json")))
        << name;

  auto mel = MLMultiArray::make({1, d.nMels, 1, 2 * d.nAudioCtx}, MLMultiArrayDataType::float16);
  for (std::int64_t i = 0; i < mel->count(); ++i) mel->setValue(i, std::sin(static_cast<double>(i)));
  auto encode = [&](const char* folder) {
    return MLModel::load(dir.path() / folder / "AudioEncoder.mlmodelc")
        ->prediction(MLDictionaryFeatureProvider({{"melspectrogram_features", MLFeatureValue(mel)}}))
        ->featureValue("encoder_output_embeds")
        ->multiArrayValue();
  };
  auto packed = encode("packed"), direct = encode("direct");
  EXPECT_EQ(packed->toFloats(), direct->toFloats());
  DecoderSession a(MLModel::load(dir.path() / "packed/TextDecoder.mlmodelc"));
  DecoderSession b(MLModel::load(dir.path() / "direct/TextDecoder.mlmodelc"));
  EXPECT_EQ(a.step(9, packed)->featureValue("logits")->multiArrayValue()->toFloats(),
            b.step(9, direct)->featureValue("logits")->multiArrayValue()->toFloats());
}

// A checkpoint whose encoder positions are not the sinusoidal ones: the packed encoder computes
// with its table.
TEST(PackCheckpointTest, PackedEncoderCarriesTheCheckpointPositions) {
  testsupport::TempDir dir;
  const auto d = tinyDimensions();
  auto weights = randomWeights(d, 5);
  auto& table = weights.at("model.encoder.embed_positions.weight").data;
  std::reverse(table.begin(), table.end());
  writeCheckpoint(dir.path() / "checkpoint", d, weights);
  packCheckpoint(dir.path() / "checkpoint", dir.path() / "packed");
  const auto packed = detail::readSafetensors(dir.path() / "packed/AudioEncoder.mlmodelc/weights.safetensors");
  EXPECT_EQ(packed.at("model.encoder.embed_positions.weight").data, table);
  writeModelFolders(dir.path() / "sinusoidal", d, randomWeights(d, 5));

  auto mel = MLMultiArray::make({1, d.nMels, 1, 2 * d.nAudioCtx}, MLMultiArrayDataType::float32);
  for (std::int64_t i = 0; i < mel->count(); ++i) mel->setValue(i, std::sin(0.7 * static_cast<double>(i)));
  auto encode = [&](const char* folder) {
    return MLModel::load(dir.path() / folder / "AudioEncoder.mlmodelc")
        ->prediction(MLDictionaryFeatureProvider({{"melspectrogram_features", MLFeatureValue(mel)}}))
        ->featureValue("encoder_output_embeds")
        ->multiArrayValue()
        ->toFloats();
  };
  EXPECT_NE(encode("packed"), encode("sinusoidal"));
}

struct WeightFault {
  const char* name;
  std::function<void(WeightMap&)> apply;
  std::string message;
};

void PrintTo(const WeightFault& f, std::ostream* out) { *out << f.name; }

class WriteModelFoldersTest : public ::testing::TestWithParam<WeightFault> {};

// Checked before anything is written: a folder that would not load is never made.
TEST_P(WriteModelFoldersTest, WeightsThatDoNotFitAreRefused) {
  testsupport::TempDir dir;
  const auto d = tinyDimensions();
  auto weights = randomWeights(d, 5);
  GetParam().apply(weights);
  try {
    writeModelFolders(dir.path() / "out", d, weights);
    FAIL() << "wrote folders from faulty weights";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
  }
  EXPECT_FALSE(fs::exists(dir.path() / "out"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WriteModelFoldersTest,
    ::testing::Values(
        WeightFault{"MissingTensor", [](WeightMap& w) { w.erase("model.decoder.layers.1.fc2.bias"); },
                    "tensor \"model.decoder.layers.1.fc2.bias\" is missing"},
        WeightFault{"MissingEncoderPositions", [](WeightMap& w) { w.erase("model.encoder.embed_positions.weight"); },
                    "tensor \"model.encoder.embed_positions.weight\" is missing"},
        WeightFault{"WrongShape",
                    [](WeightMap& w) { w["model.encoder.conv1.weight"].shape = {16, 3, 8}; },
                    "tensor \"model.encoder.conv1.weight\" has shape [16, 3, 8], expected [16, 8, 3]"},
        WeightFault{"ShapeAndDataDisagree", [](WeightMap& w) { w["model.encoder.conv1.bias"].data.pop_back(); },
                    "tensor \"model.encoder.conv1.bias\" holds 15 values"},
        WeightFault{"LayerBeyondTheDimensions",
                    [](WeightMap& w) { w["model.encoder.layers.2.fc1.bias"] = {{32}, std::vector<float>(32)}; },
                    "tensor \"model.encoder.layers.2.fc1.bias\" is not part of the model"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PackCheckpointTest, CheckpointWithoutEncoderPositionsIsRefused) {
  testsupport::TempDir dir;
  const auto d = tinyDimensions();
  auto weights = randomWeights(d, 5);
  weights.erase("model.encoder.embed_positions.weight");
  writeCheckpoint(dir.path(), d, weights);
  try {
    packCheckpoint(dir.path(), dir.path() / "out");
    FAIL() << "packed without the encoder positions";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find((dir.path() / "model.safetensors").string() +
                                         ": tensor \"model.encoder.embed_positions.weight\" is missing"),
              std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(fs::exists(dir.path() / "out"));
}

TEST(PackCheckpointTest, MissingConfigurationKeyIsNamed) {
  testsupport::TempDir dir;
  auto d = tinyDimensions();
  writeCheckpoint(dir.path(), d, randomWeights(d, 5));
  std::ofstream(dir.path() / "config.json") << R"({"d_model": 16})";
  try {
    packCheckpoint(dir.path(), dir.path() / "out");
    FAIL() << "packed without a configuration";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("\"num_mel_bins\" is missing"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace platform::ml::testing
