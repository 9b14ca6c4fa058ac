#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/ML/CheckpointError.h"
#include "platform/ML/detail/Half.h"
#include "platform/ML/detail/ModelFolderLayout.h"
#include "platform/ML/detail/Safetensors.h"
#include "platform/ML/detail/Vector.h"
#include "platform/ML/tests/DecoderSession.h"
#include "platform/ML/tests/TinyModel.h"

namespace platform::ml::testing {
namespace {

namespace fs = std::filesystem;

void writeConfig(const fs::path& folder, const WhisperDimensions& d) {
  std::ofstream(folder / "config.json") << R"({"architectures": ["SpeechSeq2Seq"], "d_model": )" << d.nTextState
                                        << R"(, "encoder_layers": )" << d.nAudioLayer << R"(, "decoder_layers": )"
                                        << d.nTextLayer << R"(, "encoder_attention_heads": )" << d.nAudioHead
                                        << R"(, "decoder_attention_heads": )" << d.nTextHead << R"(, "num_mel_bins": )"
                                        << d.nMels << R"(, "vocab_size": )" << d.nVocab << R"(, "max_source_positions": )"
                                        << d.nAudioCtx << R"(, "max_target_positions": )" << d.nTextCtx
                                        << R"(, "encoder_ffn_dim": )" << d.nFf << R"(, "decoder_ffn_dim": )" << d.nFf << "}";
}

// The stored bits of v in a 16-bit dtype: F16 rounds to nearest, BF16 truncates.
std::uint16_t sixteenBits(float v, const std::string& dtype) {
  if (dtype == "BF16") return static_cast<std::uint16_t>(std::bit_cast<std::uint32_t>(v) >> 16);
  Float16 h;
  detail::floatToHalf(&v, &h, 1);
  return std::bit_cast<std::uint16_t>(h);
}

// What a value of the checkpoint reads as once stored in `dtype`.
float stored(float v, const std::string& dtype) {
  if (dtype == "F32") return v;
  if (dtype == "BF16") return std::bit_cast<float>(static_cast<std::uint32_t>(sixteenBits(v, dtype)) << 16);
  return detail::halfBitsToFloat(sixteenBits(v, dtype));
}

// The matrices the runtime holds in half precision, which the folders store as F16.
bool storedAsHalf(const std::string& name) {
  for (const char* suffix : {"q_proj.weight", "k_proj.weight", "v_proj.weight", "out_proj.weight", "fc1.weight", "fc2.weight"})
    if (name.ends_with(suffix)) return true;
  return name == "model.encoder.conv2.weight" || name == "model.encoder.embed_positions.weight" ||
         name == "model.decoder.embed_tokens.weight";
}

// A checkpoint folder as the model family publishes it: config.json, generation_config.json and
// model.safetensors, its tensors in `dtype` (F32, F16 or BF16; `dtypes` overrides single tensors).
void writeCheckpoint(const fs::path& folder, const WhisperDimensions& d, const WeightMap& weights,
                     const std::string& dtype = "F32", const std::map<std::string, std::string>& dtypes = {}) {
  fs::create_directories(folder);
  writeConfig(folder, d);
  std::ofstream(folder / "generation_config.json") << R"({"alignment_heads": [[1, 2]]})";
  std::map<std::string, const WeightTensor*> tensors;
  for (const auto& [name, t] : weights) tensors[name.substr(6)] = &t;  // an export without "model."
  // Tied to the token table in the family's exports; not part of the folders.
  tensors["proj_out.weight"] = &weights.at("model.decoder.embed_tokens.weight");
  std::map<std::string, detail::SafetensorsWriter::Planned> planned;
  for (const auto& [name, t] : tensors) planned[name] = {dtypes.count(name) ? dtypes.at(name) : dtype, t->shape};
  detail::SafetensorsWriter out(folder / "model.safetensors", planned);
  for (const auto& [name, t] : tensors) {
    const std::string& type = planned.at(name).dtype;
    if (type == "F32") {
      out.write(t->data.data(), t->data.size() * 4);
    } else if (type == "I32") {
      std::vector<std::int32_t> values(t->data.begin(), t->data.end());
      out.write(values.data(), values.size() * 4);
    } else {
      std::vector<std::uint16_t> bits;
      for (float v : t->data) bits.push_back(sixteenBits(v, type));
      out.write(bits.data(), bits.size() * 2);
    }
  }
  out.finish();
}

// Every file below `root`, by relative path, with its bytes.
std::map<std::string, std::string> tree(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file()) {
      std::ifstream in(entry.path(), std::ios::binary);
      files[fs::relative(entry.path(), root).string()] = {std::istreambuf_iterator<char>(in), {}};
    }
  return files;
}

std::vector<std::string> entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The packer as it was, all in memory: every tensor read as float, then the folders written from them.
void packInMemory(const fs::path& checkpoint, const WhisperDimensions& d, const fs::path& folder) {
  WeightMap weights;
  for (auto& [name, t] : detail::readSafetensors(checkpoint / "model.safetensors"))
    weights["model." + name] = WeightTensor{std::move(t.shape), std::move(t.data)};
  weights.erase("model.proj_out.weight");
  ModelFolderOptions options;
  options.alignmentHeads = {{1, 2}};
  writeModelFolders(folder, d, weights, options);
}

// The token table (1100 x 16 values) spans more than one of the reader's 16,384-value blocks and
// ends within one; every other tensor fits in a block.
TEST(PackCheckpointTest, PackedFoldersEqualThoseOfTheInMemoryPack) {
  auto d = tinyDimensions();
  d.nVocab = 1100;
  d.kvCacheLength = d.nTextCtx;  // the packer caps S at 224 and the position table
  const auto weights = randomWeights(d, 5);
  for (const std::string dtype : {"F32", "F16", "BF16"}) {
    SCOPED_TRACE(dtype);
    testsupport::TempDir dir;
    writeCheckpoint(dir.path() / "checkpoint", d, weights, dtype);
    packCheckpoint(dir.path() / "checkpoint", dir.path() / "packed");
    packInMemory(dir.path() / "checkpoint", d, dir.path() / "reference");
    const auto packed = tree(dir.path() / "packed");
    EXPECT_EQ(packed, tree(dir.path() / "reference"));
    EXPECT_EQ(packed.size(), 5u);  // model.json of three folders, weights of two
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"checkpoint", "packed", "reference"}));

    // Independently of the writer: every weight, with the values the checkpoint stores, the
    // matrices rounded to half precision (F16), the rest as F32.
    std::size_t seen = 0;
    for (const char* folder : {"AudioEncoder", "TextDecoder"}) {
      auto file = detail::SafetensorsFile(dir.path() / "packed" / (std::string(folder) + ".mlmodelc/weights.safetensors"));
      for (const auto& [name, entry] : file.entries()) {
        const bool half = storedAsHalf(name);
        EXPECT_EQ(entry.dtype, half ? "F16" : "F32") << name;
        std::vector<float> expected;
        for (float v : weights.at(name).data) expected.push_back(half ? stored(stored(v, dtype), "F16") : stored(v, dtype));
        EXPECT_EQ(file.readFloats(name), expected) << name;
        ++seen;
      }
    }
    EXPECT_EQ(seen, weights.size());
  }
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

// Folders written by the earlier packer hold every tensor as F32 and no source record: they still
// load, and compute exactly what the half-precision folders compute (the runtime rounds the
// matrices as the packer does), for every instruction set.
TEST(PackCheckpointTest, FoldersWithFloatMatricesComputeWhatHalfOnesDo) {
  testsupport::TempDir dir;
  auto d = tinyDimensions();
  d.kvCacheLength = d.nTextCtx;
  const auto weights = randomWeights(d, 5);
  writeCheckpoint(dir.path() / "checkpoint", d, weights);
  packCheckpoint(dir.path() / "checkpoint", dir.path() / "half");
  fs::copy(dir.path() / "half", dir.path() / "float", fs::copy_options::recursive);
  for (const char* folder : {"AudioEncoder", "TextDecoder"}) {
    const std::string prefix = folder[0] == 'A' ? "model.encoder." : "model.decoder.";
    std::map<std::string, detail::Tensor> tensors;
    for (const auto& [name, t] : weights)
      if (name.starts_with(prefix)) tensors[name] = detail::Tensor{t.shape, t.data};
    detail::writeSafetensors(dir.path() / "float" / (std::string(folder) + ".mlmodelc/weights.safetensors"), tensors);
  }
  EXPECT_FALSE(readCheckpointSource(dir.path() / "float"));

  auto mel = MLMultiArray::make({1, d.nMels, 1, 2 * d.nAudioCtx}, MLMultiArrayDataType::float16);
  for (std::int64_t i = 0; i < mel->count(); ++i) mel->setValue(i, std::sin(static_cast<double>(i)));
  for (const auto set : detail::availableInstructionSets()) {
    SCOPED_TRACE(detail::instructionSetName(set));
    detail::setInstructionSet(set);
    auto encode = [&](const char* folder) {
      return MLModel::load(dir.path() / folder / "AudioEncoder.mlmodelc")
          ->prediction(MLDictionaryFeatureProvider({{"melspectrogram_features", MLFeatureValue(mel)}}))
          ->featureValue("encoder_output_embeds")
          ->multiArrayValue();
    };
    auto half = encode("half"), single = encode("float");
    EXPECT_EQ(half->toFloats(), single->toFloats());
    DecoderSession a(MLModel::load(dir.path() / "half/TextDecoder.mlmodelc"));
    DecoderSession b(MLModel::load(dir.path() / "float/TextDecoder.mlmodelc"));
    for (int token : {3, 9, 17})
      EXPECT_EQ(a.step(token, half)->featureValue("logits")->multiArrayValue()->toFloats(),
                b.step(token, single)->featureValue("logits")->multiArrayValue()->toFloats());
  }
  detail::setInstructionSet(detail::availableInstructionSets().back());
}

// The record of where the folders came from is written with them, and read back; a folder without
// one, or with one that is not a record, reads as having none.
TEST(PackCheckpointTest, SourceRecordIsKeptWithTheFolders) {
  testsupport::TempDir dir;
  auto d = tinyDimensions();
  d.kvCacheLength = d.nTextCtx;
  writeCheckpoint(dir.path() / "checkpoint", d, randomWeights(d, 5));
  const CheckpointSource source{"openai/whisper-tiny", "0123456789abcdef0123456789abcdef01234567",
                                {{"config.json", "\"abc\""}, {"model.safetensors", "5d41402abc4b2a76"}}};
  packCheckpoint(dir.path() / "checkpoint", dir.path() / "packed", source);
  EXPECT_EQ(readCheckpointSource(dir.path() / "packed"), source);

  packCheckpoint(dir.path() / "checkpoint", dir.path() / "bare");
  EXPECT_FALSE(fs::exists(dir.path() / "bare" / "source.json"));
  for (const char* text : {"", "{", "[]", R"({"repository": "o/r", "commit": 7, "etags": {}})",
                           R"({"repository": "o/r", "commit": "c", "etags": {"a": null}})"}) {
    SCOPED_TRACE(text);
    std::ofstream(dir.path() / "bare" / "source.json", std::ios::trunc) << text;
    EXPECT_FALSE(readCheckpointSource(dir.path() / "bare"));
  }
  fs::remove(dir.path() / "bare" / "source.json");
  fs::create_directory(dir.path() / "bare" / "source.json");
  EXPECT_FALSE(readCheckpointSource(dir.path() / "bare"));
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
  std::vector<float> rounded;
  for (float v : table) rounded.push_back(stored(v, "F16"));
  EXPECT_EQ(packed.at("model.encoder.embed_positions.weight").data, rounded);
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

struct CheckpointFault {
  const char* name;
  std::function<void(const fs::path& checkpoint)> apply;
  std::string message;  // after the checkpoint's path
};

void PrintTo(const CheckpointFault& f, std::ostream* out) { *out << f.name; }

class PackCheckpointFaultTest : public ::testing::TestWithParam<CheckpointFault> {};

// Refused with the file (and tensor) named, leaving neither the destination nor a temporary folder.
TEST_P(PackCheckpointFaultTest, IsRefusedAndLeavesNoFolder) {
  testsupport::TempDir dir;
  const fs::path checkpoint = dir.path() / "checkpoint";
  writeCheckpoint(checkpoint, tinyDimensions(), randomWeights(tinyDimensions(), 5));
  GetParam().apply(checkpoint);
  try {
    packCheckpoint(checkpoint, dir.path() / "models" / "packed");
    FAIL() << "packed a faulty checkpoint";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find(checkpoint.string() + "/" + GetParam().message), std::string::npos) << e.what();
    // A caller tells a bad checkpoint from other failures by the type, and learns the file from it.
    const auto* typed = dynamic_cast<const CheckpointError*>(&e);
    EXPECT_NE(typed, nullptr) << "not a CheckpointError: " << e.what();
    if (typed) {
      EXPECT_EQ(typed->file(), checkpoint / GetParam().message.substr(0, GetParam().message.find(": ")));
    }
  }
  EXPECT_FALSE(fs::exists(dir.path() / "models" / "packed"));
  if (fs::exists(dir.path() / "models")) {
    EXPECT_EQ(entries(dir.path() / "models"), std::vector<std::string>{});
  }
}

// Replaces one number of config.json: "vocab_size": 40 => "vocab_size": -5.
void setConfigNumber(const fs::path& checkpoint, const std::string& key, const std::string& value) {
  std::ifstream in(checkpoint / "config.json");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t at = text.find("\"" + key + "\": ");
  ASSERT_NE(at, std::string::npos) << key;
  const std::size_t begin = at + key.size() + 4, end = text.find_first_of(",}", begin);
  text.replace(begin, end - begin, value);
  std::ofstream(checkpoint / "config.json", std::ios::trunc) << text;
}

void rewriteWeights(const fs::path& checkpoint, const std::function<void(WeightMap&)>& edit,
                    const std::map<std::string, std::string>& dtypes = {}) {
  WeightMap weights;
  for (auto& [name, t] : detail::readSafetensors(checkpoint / "model.safetensors"))
    weights["model." + name] = WeightTensor{std::move(t.shape), std::move(t.data)};
  weights.erase("model.proj_out.weight");
  edit(weights);
  fs::remove(checkpoint / "model.safetensors");
  writeCheckpoint(checkpoint, tinyDimensions(), weights, "F32", dtypes);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PackCheckpointFaultTest,
    ::testing::Values(
        CheckpointFault{"Sharded",
                        [](const fs::path& c) {
                          fs::remove(c / "model.safetensors");
                          std::ofstream(c / "model.safetensors.index.json") << R"({"weight_map": {}})";
                        },
                        "model.safetensors.index.json: sharded checkpoints (weights split over several files) are not "
                        "supported"},
        CheckpointFault{"NoWeights", [](const fs::path& c) { fs::remove(c / "model.safetensors"); },
                        "model.safetensors: missing"},
        CheckpointFault{"NoConfiguration", [](const fs::path& c) { fs::remove(c / "config.json"); },
                        "config.json: missing"},
        CheckpointFault{"ConfigurationKeyMissing",
                        [](const fs::path& c) { std::ofstream(c / "config.json") << R"({"d_model": 16})"; },
                        "config.json: \"num_mel_bins\" is missing"},
        CheckpointFault{"ConfigurationNotJson",
                        [](const fs::path& c) { std::ofstream(c / "config.json") << "<html>rate limited</html>"; },
                        "config.json: cannot be read"},
        // Counts the weights cannot hold are refused before anything is sized by them.
        CheckpointFault{"HugeLayerCount",
                        [](const fs::path& c) { setConfigNumber(c, "encoder_layers", "1000000000000000"); },
                        "model.safetensors: the dimensions name 1000000000000000 encoder layers"},
        // Junk tensors make a large layer count pass the count of tensors; the check then stops at
        // the first layer not there instead of listing the names of every claimed layer.
        CheckpointFault{"LayerCountBeyondTheLayers",
                        [](const fs::path& c) {
                          rewriteWeights(c, [](WeightMap& w) {
                            for (int i = 0; i < 1000; ++i) w["model.junk." + std::to_string(i)] = {{0}, {}};
                          });
                          setConfigNumber(c, "decoder_layers", "1000");
                        },
                        "model.safetensors: tensor \"model.decoder.layers.2.encoder_attn.k_proj.weight\" is missing"},
        CheckpointFault{"HugeHeadCount",
                        [](const fs::path& c) {
                          fs::remove(c / "generation_config.json");  // the default alignment heads count heads
                          setConfigNumber(c, "decoder_attention_heads", "4000000000000000000");
                        },
                        "config.json: \"decoder_attention_heads\" is 4000000000000000000, not a divisor of \"d_model\" (16)"},
        CheckpointFault{"HeadsNotDividingTheWidth",
                        [](const fs::path& c) { setConfigNumber(c, "encoder_attention_heads", "3"); },
                        "config.json: \"encoder_attention_heads\" is 3, not a divisor of \"d_model\" (16)"},
        CheckpointFault{"NegativeVocabulary", [](const fs::path& c) { setConfigNumber(c, "vocab_size", "-5"); },
                        "config.json: \"vocab_size\" is -5, not positive"},
        CheckpointFault{"HugeVocabulary",
                        [](const fs::path& c) { setConfigNumber(c, "vocab_size", "9000000000000000000"); },
                        "model.safetensors: tensor \"model.decoder.embed_tokens.weight\" has shape [40, 16], expected "
                        "[9000000000000000000, 16]"},
        CheckpointFault{"AlignmentHeadBeyondTheDecoder",
                        [](const fs::path& c) {
                          std::ofstream(c / "generation_config.json") << R"({"alignment_heads": [[2, 0]]})";
                        },
                        "generation_config.json: \"alignment_heads\": [2, 0] is not a decoder head"},
        CheckpointFault{"RepeatedAlignmentHead",
                        [](const fs::path& c) {
                          std::ofstream(c / "generation_config.json") << R"({"alignment_heads": [[1, 2], [0, 1], [1, 2]]})";
                        },
                        "generation_config.json: \"alignment_heads\": [1, 2] is listed twice"},
        CheckpointFault{"MoreAlignmentHeadsThanTheDecoderHas",
                        [](const fs::path& c) {
                          std::string heads = R"({"alignment_heads": [[0, 0])";
                          for (int i = 0; i < 8; ++i) heads += ", [0, 0]";
                          std::ofstream(c / "generation_config.json") << heads << "]}";
                        },
                        "generation_config.json: \"alignment_heads\": lists 9 heads, more than the decoder's 8"},
        CheckpointFault{"OversizedConfiguration",
                        [](const fs::path& c) {
                          std::ofstream(c / "generation_config.json")
                              << R"({"alignment_heads": [[1, 2]])" << std::string(2 << 20, ' ') << "}";
                        },
                        "generation_config.json: is 2097181 bytes, more than a configuration file holds (at most 1 MiB)"},
        CheckpointFault{"TruncatedWeights",
                        [](const fs::path& c) {
                          fs::resize_file(c / "model.safetensors", fs::file_size(c / "model.safetensors") - 4);
                        },
                        "model.safetensors: tensor \"proj_out.weight\": data_offsets"},
        CheckpointFault{"MissingTensor",
                        [](const fs::path& c) {
                          rewriteWeights(c, [](WeightMap& w) { w.erase("model.encoder.embed_positions.weight"); });
                        },
                        "model.safetensors: tensor \"model.encoder.embed_positions.weight\" is missing"},
        CheckpointFault{"Misshapen",
                        [](const fs::path& c) {
                          rewriteWeights(c, [](WeightMap& w) { w["model.decoder.layers.1.fc1.weight"].shape = {16, 32}; });
                        },
                        "model.safetensors: tensor \"model.decoder.layers.1.fc1.weight\" has shape [16, 32], expected [32, 16]"},
        CheckpointFault{"IntegerTensor",
                        [](const fs::path& c) { rewriteWeights(c, [](WeightMap&) {}, {{"encoder.conv1.bias", "I32"}}); },
                        "model.safetensors: tensor \"encoder.conv1.bias\" has dtype I32, a floating-point dtype is needed"},
        // Found while the last folder is written, after the encoder's.
        CheckpointFault{"NonFiniteValueInTheLastTensor",
                        [](const fs::path& c) {
                          rewriteWeights(c, [](WeightMap& w) {
                            w["model.decoder.layers.1.self_attn_layer_norm.weight"].data[3] = INFINITY;
                          });
                        },
                        "model.safetensors: tensor \"decoder.layers.1.self_attn_layer_norm.weight\" holds a value that "
                        "is not a finite float (inf) at index 3"}),
    [](const auto& info) { return std::string(info.param.name); });

// A folder already at the destination is kept as it is: the packer writes new folders only.
TEST(PackCheckpointTest, ExistingDestinationIsLeftAlone) {
  testsupport::TempDir dir;
  writeCheckpoint(dir.path() / "checkpoint", tinyDimensions(), randomWeights(tinyDimensions(), 5));
  fs::create_directories(dir.path() / "packed");
  std::ofstream(dir.path() / "packed" / "mine") << "keep";
  try {
    packCheckpoint(dir.path() / "checkpoint", dir.path() / "packed/");
    FAIL() << "packed over an existing folder";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find((dir.path() / "packed").string() + ": already exists"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(tree(dir.path() / "packed"), (std::map<std::string, std::string>{{"mine", "keep"}}));
  EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"checkpoint", "packed"}));
}

// A process that has ended and been reaped: its pid names no process.
pid_t deadPid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

// What a packer killed with SIGKILL leaves: its partial folder and the pack lock. The next pack
// removes exactly those, and nothing that is another's, a link, or of a packer still running.
TEST(PackCheckpointTest, LeftoversOfKilledPackersGoAtTheNextPack) {
  testsupport::TempDir dir;
  writeCheckpoint(dir.path() / "checkpoint", tinyDimensions(), randomWeights(tinyDimensions(), 5));
  const fs::path root = dir.path() / "repo";
  fs::create_directories(root / "elsewhere");
  auto partial = [&](pid_t pid, const std::string& suffix) {
    return ".packed.partial-" + std::to_string(pid) + "-" + suffix;
  };
  const std::string dead = partial(deadPid(), "0badf00d");
  const std::string deadToo = partial(deadPid(), "12345678");
  const std::vector<std::string> kept = {
      partial(::getppid(), "0badf00d"),  // its packer runs
      partial(::getpid(), "0badf00d"),   // this process: another thread may be packing
      partial(deadPid(), "0BADF00D"),    // not a name the packer makes
      partial(deadPid(), "0badf00") ,
      ".packed.partial-x-0badf00d",
      ".other.partial-" + std::to_string(deadPid()) + "-0badf00d",  // beside another folder
  };
  for (const auto& name : kept) fs::create_directories(root / name / "TextDecoder.mlmodelc");
  for (const auto& name : {dead, deadToo}) {
    fs::create_directories(root / name / "TextDecoder.mlmodelc");
    std::ofstream(root / name / "TextDecoder.mlmodelc" / "weights.safetensors") << std::string(4096, 'w');
  }
  const std::string link = partial(deadPid(), "abcdef01");
  fs::create_directory_symlink(root / "elsewhere", root / link);  // a link: neither followed nor removed
  std::ofstream(root / "elsewhere" / "keep") << "keep";
  std::ofstream(root / ".packed.lock") << "";

  packCheckpoint(dir.path() / "checkpoint", root / "packed");

  std::vector<std::string> expected = kept;
  expected.insert(expected.end(), {"elsewhere", link, "packed"});
  std::sort(expected.begin(), expected.end());
  auto left = entries(root);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, expected);
  EXPECT_TRUE(fs::exists(root / "elsewhere" / "keep"));

  // A lock that is held stays; so does a partial folder that is someone else's.
  const int held = ::open((root / ".packed.lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  removeStalePackingLeftovers(root / "packed");
  EXPECT_TRUE(fs::exists(root / ".packed.lock"));
  ::close(held);
  removeStalePackingLeftovers(root / "packed");
  EXPECT_FALSE(fs::exists(root / ".packed.lock"));
  if (::geteuid() == 0) {
    const std::string theirs = partial(deadPid(), "fedcba98");
    fs::create_directory(root / theirs);
    ASSERT_EQ(::chown((root / theirs).c_str(), 65534, 65534), 0);
    removeStalePackingLeftovers(root / "packed");
    EXPECT_TRUE(fs::exists(root / theirs));
  }
}

// A checkpoint of every tensor the dimensions need, in F32, written block by block; small values of
// a hashed index stand in for weights. Returns the bytes of the largest tensor and of them all.
// (Unused where the address sanitizer skips the test below.)
[[maybe_unused]] std::pair<std::uint64_t, std::uint64_t> writeLargeCheckpoint(const fs::path& folder, const WhisperDimensions& d) {
  fs::create_directories(folder);
  writeConfig(folder, d);
  std::map<std::string, detail::SafetensorsWriter::Planned> planned;
  std::uint64_t largest = 0, total = 0;
  for (const auto& [name, shape] : detail::expectedShapes(d)) {
    planned[name] = {"F32", shape};
    const std::uint64_t bytes = static_cast<std::uint64_t>(detail::Tensor{shape, {}}.count()) * 4;
    largest = std::max(largest, bytes);
    total += bytes;
  }
  detail::SafetensorsWriter out(folder / "model.safetensors", planned);
  std::vector<float> block(1 << 20);
  for (std::uint64_t at = 0; at < total / 4; at += block.size()) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), total / 4 - at));
    for (std::size_t i = 0; i < n; ++i)
      block[i] = static_cast<float>(((at + i) * 2654435761u) % 65536) / 65536.0f - 0.5f;
    out.write(block.data(), n * 4);
  }
  out.finish();
  return {largest, total};
}

// In a child process whose address space may grow by the largest tensor plus 64 MB: a checkpoint
// more than twice that size packs, while reading it whole, as the packer once did, runs out.
TEST(PackCheckpointTest, PacksWithinTheLargestTensorPlus64Megabytes) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves more address space than the limit this test sets";
#else
  testsupport::TempDir dir;
  WhisperDimensions d;
  d.nMels = 8;
  d.nAudioCtx = d.nTextCtx = 64;
  d.nAudioState = d.nTextState = 256;
  d.nAudioLayer = d.nTextLayer = 20;
  d.nVocab = 4096;
  d.nFf = 1024;
  const auto [largest, total] = writeLargeCheckpoint(dir.path() / "checkpoint", d);
  const std::uint64_t allowance = largest + (std::uint64_t{64} << 20);
  ASSERT_GT(total, 2 * allowance);

  auto withinAllowance = [&](const std::function<void()>& work) {
    std::ifstream status("/proc/self/status");
    std::string line;
    rlim_t used = 0;
    while (std::getline(status, line))
      if (line.rfind("VmSize:", 0) == 0) used = std::stoull(line.substr(7)) * 1024;
    if (used == 0) std::_Exit(6);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = used + allowance;
    setrlimit(RLIMIT_AS, &limit);
    try {
      work();
      std::_Exit(0);
    } catch (const std::bad_alloc&) {
      std::_Exit(3);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      std::_Exit(4);
    }
  };
  EXPECT_EXIT(withinAllowance([&] { packCheckpoint(dir.path() / "checkpoint", dir.path() / "packed"); }),
              ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(withinAllowance([&] { detail::readSafetensors(dir.path() / "checkpoint/model.safetensors"); }),
              ::testing::ExitedWithCode(3), "");
  std::uint64_t packed = 0, data = 0;
  for (const char* folder : {"AudioEncoder", "TextDecoder"})
    packed += fs::file_size(dir.path() / "packed" / (std::string(folder) + ".mlmodelc/weights.safetensors"));
  for (const auto& [name, shape] : detail::expectedShapes(d))
    data += static_cast<std::uint64_t>(detail::Tensor{shape, {}}.count()) * (storedAsHalf(name) ? 2 : 4);
  EXPECT_GT(packed, data);  // every tensor and the headers
#endif
}

}  // namespace
}  // namespace platform::ml::testing
