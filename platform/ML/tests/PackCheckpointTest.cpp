#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

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
  tensors["encoder.embed_positions.weight"] = {{d.nAudioCtx, d.nAudioState},
                                               std::vector<float>(static_cast<std::size_t>(d.nAudioCtx * d.nAudioState))};
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
