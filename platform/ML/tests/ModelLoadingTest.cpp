#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <random>

#include "platform/ML/detail/Safetensors.h"
#include "platform/ML/tests/TinyModel.h"
#include "platform/System/Json.h"

namespace platform::ml::testing {
namespace {

namespace fs = std::filesystem;
namespace json = platform::json;

void overwrite(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void editWeights(const fs::path& file, const std::function<void(std::map<std::string, detail::Tensor>&)>& edit) {
  auto tensors = detail::readSafetensors(file);
  edit(tensors);
  detail::writeSafetensors(file, tensors);
}

// Rewrites the header of a weights file, keeping its data; offsets count from the end of the header.
void editHeader(const fs::path& file, const std::function<void(json::Object& tensors)>& edit) {
  const std::string bytes = contents(file);
  std::uint64_t length = 0;
  for (int i = 7; i >= 0; --i) length = (length << 8) | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
  json::Value header = json::parse(bytes.substr(8, length));
  edit(header.asObject());
  std::string text = json::write(header);
  std::string out;
  for (int i = 0; i < 8; ++i) out += static_cast<char>((text.size() >> (8 * i)) & 0xff);
  overwrite(file, out + text + bytes.substr(8 + length));
}

json::Value& member(json::Object& object, const std::string& name) {
  for (auto& [key, value] : object)
    if (key == name) return value;
  throw std::out_of_range(name);
}

// Sets one entry of a tensor's header record ("dtype", "shape", "data_offsets").
void setField(const fs::path& file, const std::string& tensor, const std::string& field, json::Value value) {
  editHeader(file, [&](json::Object& tensors) { member(member(tensors, tensor).asObject(), field) = std::move(value); });
}

void setValue(const fs::path& file, const std::string& tensor, std::size_t index, float value) {
  editWeights(file, [&](auto& t) { t.at(tensor).data.at(index) = value; });
}

void editDescription(const fs::path& folder, const std::string& from, const std::string& to) {
  std::string text = contents(folder / "model.json");
  const auto at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
  overwrite(folder / "model.json", text);
}

struct Corruption {
  const char* name;
  std::function<void(const fs::path& folder)> apply;
  std::vector<std::string> messageParts;  // each must appear in the error
  const char* model = "TextDecoder";      // the folder corrupted
};

void PrintTo(const Corruption& c, std::ostream* out) { *out << c.name; }

class ModelLoadingTest : public ::testing::TestWithParam<Corruption> {};

TEST_P(ModelLoadingTest, CorruptFolderGivesAClearError) {
  TinyModel tiny;
  const fs::path folder = tiny.folder(GetParam().model);
  GetParam().apply(folder);
  try {
    MLModel::load(folder);
    FAIL() << "loaded a corrupt model";
  } catch (const MLModelError& e) {
    for (const auto& part : GetParam().messageParts)
      EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << "\"" << part << "\" not in: " << e.what();
  }
}

const fs::path kWeights = "weights.safetensors";

INSTANTIATE_TEST_SUITE_P(
    Corruptions, ModelLoadingTest,
    ::testing::Values(
        Corruption{"MissingFolder", [](const fs::path& f) { fs::remove_all(f); }, {"is not a model folder"}},
        Corruption{"MissingDescription", [](const fs::path& f) { fs::remove(f / "model.json"); }, {"model.json", "missing"}},
        Corruption{"MalformedDescription", [](const fs::path& f) { overwrite(f / "model.json", "{\"kind\": "); }, {"model.json"}},
        Corruption{"UnknownKind", [](const fs::path& f) { editDescription(f, "\"TextDecoder\"", "\"Vocoder\""); },
                   {"model.json", "unknown model kind \"Vocoder\""}},
        Corruption{"ShapeDisagreesWithHyperparameters",
                   [](const fs::path& f) { editDescription(f, "\"n_vocab\" : 40", "\"n_vocab\" : 41"); },
                   {"model.json", "\"logits\"", "[1, 1, 40]"}},
        Corruption{"AbsurdHyperparameter",
                   [](const fs::path& f) { editDescription(f, "\"n_audio_ctx\" : 12", "\"n_audio_ctx\" : 4000000000"); },
                   {"model.json", "\"n_audio_ctx\" is 4000000000"}},
        Corruption{"MissingWeightsFile", [](const fs::path& f) { fs::remove(f / kWeights); }, {"weights.safetensors", "cannot open"}},
        Corruption{"EmptyWeightsFile", [](const fs::path& f) { overwrite(f / kWeights, ""); }, {"weights.safetensors", "too short"}},
        Corruption{"HeaderPastTheEnd",
                   [](const fs::path& f) {
                     std::string bytes = contents(f / kWeights);
                     bytes[5] = '\x7f';
                     overwrite(f / kWeights, bytes);
                   },
                   {"weights.safetensors", "header length", "past the end"}},
        Corruption{"TruncatedData",
                   [](const fs::path& f) {
                     const std::string bytes = contents(f / kWeights);
                     overwrite(f / kWeights, bytes.substr(0, bytes.size() - 10));
                   },
                   {"weights.safetensors", "tensor \"model.decoder.layers.1.self_attn_layer_norm.weight\"", "past the end"}},
        Corruption{"MalformedHeader",
                   [](const fs::path& f) {
                     std::string bytes = contents(f / kWeights);
                     bytes[8] = '[';
                     overwrite(f / kWeights, bytes);
                   },
                   {"weights.safetensors", "malformed header"}},
        Corruption{"TensorOfTheWrongShape",
                   [](const fs::path& f) {
                     editWeights(f / kWeights, [](auto& t) {
                       t["model.decoder.embed_positions.weight"] = {{8, 16}, std::vector<float>(128)};
                     });
                   },
                   {"weights.safetensors", "\"model.decoder.embed_positions.weight\"", "[8, 16]", "[16, 16]"}},
        Corruption{"MissingTensor",
                   [](const fs::path& f) { editWeights(f / kWeights, [](auto& t) { t.erase("model.decoder.layers.1.fc2.bias"); }); },
                   {"weights.safetensors", "\"model.decoder.layers.1.fc2.bias\" is missing"}},
        Corruption{"NonexistentAlignmentHead",
                   [](const fs::path& f) { editDescription(f, "[\n      1,\n      3\n    ]", "[\n      1,\n      4\n    ]"); },
                   {"alignment head [1, 4]"}},
        Corruption{"RepeatedAlignmentHead",
                   [](const fs::path& f) { editDescription(f, "[\n      1,\n      3\n    ]", "[\n      1,\n      0\n    ]"); },
                   {"alignment head [1, 0] is listed twice"}},
        Corruption{"MoreAlignmentHeadsThanTheDecoderHas",
                   [](const fs::path& f) {
                     std::string heads = "[\n      1,\n      3\n    ]";
                     for (int i = 0; i < 8; ++i) heads += ", [0, 0]";
                     editDescription(f, "[\n      1,\n      3\n    ]", heads);
                   },
                   {"alignment_heads lists 10 heads, more than the decoder's 8"}},
        // Five million heads took 24 s and 855 MB to refuse; a description that large is not read.
        Corruption{"DescriptionOverItsBound",
                   [](const fs::path& f) {
                     std::string heads = "[\n      1,\n      3\n    ]";
                     for (int i = 0; i < 200000; ++i) heads += ", [0, 0]";
                     editDescription(f, "[\n      1,\n      3\n    ]", heads);
                   },
                   {"model.json", "bytes, more than a model description holds (at most 1 MiB)"}}),
    [](const auto& info) { return std::string(info.param.name); });

const float kNan = std::numeric_limits<float>::quiet_NaN(), kInf = std::numeric_limits<float>::infinity();

// A value the model cannot compute with fails the load, naming the tensor and the place.
INSTANTIATE_TEST_SUITE_P(
    WeightValues, ModelLoadingTest,
    ::testing::Values(
        Corruption{"NanInTheEncoder",
                   [](const fs::path& f) { setValue(f / kWeights, "model.encoder.conv1.weight", 5, kNan); },
                   {"weights.safetensors", "\"model.encoder.conv1.weight\"", "not a finite float (nan) at index 5"},
                   "AudioEncoder"},
        Corruption{"InfinityInADecoderBias",
                   [](const fs::path& f) { setValue(f / kWeights, "model.decoder.layers.1.fc1.bias", 31, kInf); },
                   {"\"model.decoder.layers.1.fc1.bias\"", "(inf) at index 31"}},
        Corruption{"NegativeInfinityInPositions",
                   [](const fs::path& f) { setValue(f / kWeights, "model.decoder.embed_positions.weight", 0, -kInf); },
                   {"\"model.decoder.embed_positions.weight\"", "(-inf) at index 0"}},
        Corruption{"NanInThePrefillTable",
                   [](const fs::path& f) { setValue(f / kWeights, "prefill.value_cache", 7, kNan); },
                   {"\"prefill.value_cache\"", "at index 7"}, "TextDecoderContextPrefill"},
        // Finite in float, but the token table is kept in half precision, whose largest value is 65504.
        Corruption{"TokenTableBeyondHalfPrecision",
                   [](const fs::path& f) { setValue(f / kWeights, "model.decoder.embed_tokens.weight", 17, 1e6f); },
                   {"\"model.decoder.embed_tokens.weight\"", "holds 1e+06 at index 17, beyond half precision"}},
        // Every weight matrix is kept in half precision.
        Corruption{"EncoderMatrixBeyondHalfPrecision",
                   [](const fs::path& f) { setValue(f / kWeights, "model.encoder.layers.1.fc2.weight", 40, 70000.0f); },
                   {"\"model.encoder.layers.1.fc2.weight\"", "holds 70000 at index 40, beyond half precision"},
                   "AudioEncoder"},
        Corruption{"DecoderProjectionBeyondHalfPrecision",
                   [](const fs::path& f) { setValue(f / kWeights, "model.decoder.layers.0.encoder_attn.v_proj.weight", 0, -1e5f); },
                   {"\"model.decoder.layers.0.encoder_attn.v_proj.weight\"", "holds -100000 at index 0"}},
        Corruption{"TokenTableJustBeyondHalfPrecision",
                   [](const fs::path& f) { setValue(f / kWeights, "model.decoder.embed_tokens.weight", 3, -65520.0f); },
                   {"\"model.decoder.embed_tokens.weight\"", "index 3", "beyond half precision"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Every tensor of the file is used, and the layer counts agree with the weights before anything is built.
INSTANTIATE_TEST_SUITE_P(
    UnusedTensors, ModelLoadingTest,
    ::testing::Values(
        Corruption{"FewerEncoderLayersThanWeights",
                   [](const fs::path& f) { editDescription(f, "\"n_audio_layer\" : 2", "\"n_audio_layer\" : 1"); },
                   {"model.json", "n_audio_layer is 1, the weights hold 2 layers"}, "AudioEncoder"},
        Corruption{"AbsurdLayerCountFailsBeforeAllocating",
                   [](const fs::path& f) { editDescription(f, "\"n_audio_layer\" : 2", "\"n_audio_layer\" : 1048576"); },
                   {"model.json", "n_audio_layer is 1048576, the weights hold 2 layers"}, "AudioEncoder"},
        // Never read, so its NaN is not what fails.
        Corruption{"ExtraDecoderTensor",
                   [](const fs::path& f) {
                     editWeights(f / kWeights, [](auto& t) { t["model.decoder.proj_out.weight"] = {{2}, {kNan, 1.0f}}; });
                   },
                   {"weights.safetensors", "\"model.decoder.proj_out.weight\" is not used by the model"}},
        Corruption{"ExtraPrefillTensors",
                   [](const fs::path& f) {
                     editWeights(f / kWeights, [](auto& t) {
                       t["prefill.a"] = {{1}, {1.0f}};
                       t["prefill.b"] = {{1}, {1.0f}};
                     });
                   },
                   {"\"prefill.a\" is not used by the model (nor are 1 more)"}, "TextDecoderContextPrefill"},
        Corruption{"MissingEncoderPositions",
                   [](const fs::path& f) {
                     editWeights(f / kWeights, [](auto& t) { t.erase("model.encoder.embed_positions.weight"); });
                   },
                   {"\"model.encoder.embed_positions.weight\" is missing"}, "AudioEncoder"},
        Corruption{"EncoderPositionsOfTheWrongShape",
                   [](const fs::path& f) {
                     editWeights(f / kWeights, [](auto& t) {
                       t["model.encoder.embed_positions.weight"] = {{24, 16}, std::vector<float>(24 * 16)};
                     });
                   },
                   {"\"model.encoder.embed_positions.weight\" has shape [24, 16], expected [12, 16]"}, "AudioEncoder"}),
    [](const auto& info) { return std::string(info.param.name); });

// Bytes are read only as the dtype the tensor's role takes, and no two tensors share bytes.
INSTANTIATE_TEST_SUITE_P(
    TensorLayout, ModelLoadingTest,
    ::testing::Values(
        Corruption{"FloatBytesLabelledInt32",
                   [](const fs::path& f) { setField(f / kWeights, "model.decoder.layers.0.fc1.bias", "dtype", "I32"); },
                   {"\"model.decoder.layers.0.fc1.bias\" has dtype I32, a floating-point dtype is needed"}},
        Corruption{"TokenIdsLabelledFloat",
                   [](const fs::path& f) { setField(f / kWeights, "prefill.language_tokens", "dtype", "F32"); },
                   {"\"prefill.language_tokens\" has dtype F32, an integer dtype is needed"}, "TextDecoderContextPrefill"},
        // A float beyond every integer type, where a token id belongs.
        Corruption{"HugeFloatTokenId",
                   [](const fs::path& f) {
                     editWeights(f / kWeights, [](auto& t) { t["prefill.language_tokens"] = {{2}, {30.0f, 1e30f}}; });
                   },
                   {"\"prefill.language_tokens\"", "an integer dtype is needed"}, "TextDecoderContextPrefill"},
        // The two int32 ids 30 and 31 read as one int64: 31 · 2^32 + 30.
        Corruption{"TokenIdBeyondInt32",
                   [](const fs::path& f) {
                     editHeader(f / kWeights, [](json::Object& t) {
                       auto& entry = member(t, "prefill.language_tokens").asObject();
                       member(entry, "dtype") = "I64";
                       member(entry, "shape") = json::Array{json::Value(1)};
                     });
                   },
                   {"\"prefill.language_tokens\" holds 133143986206 at index 0, not a token id"},
                   "TextDecoderContextPrefill"},
        Corruption{"TensorsSharingBytes",
                   [](const fs::path& f) {
                     editHeader(f / kWeights, [](json::Object& t) {
                       member(member(t, "model.decoder.layers.1.fc2.bias").asObject(), "data_offsets") =
                           member(member(t, "model.decoder.layers.0.fc2.bias").asObject(), "data_offsets");
                     });
                   },
                   {"weights.safetensors", "\"model.decoder.layers.", "overlap those of tensor \"model.decoder.layers."}},
        Corruption{"TensorsOverlappingByOneValue",
                   [](const fs::path& f) {
                     editHeader(f / kWeights, [](json::Object& t) {
                       auto& a = member(member(t, "model.decoder.layers.0.fc2.bias").asObject(), "data_offsets").asArray();
                       auto& b = member(member(t, "model.decoder.layers.1.fc2.bias").asObject(), "data_offsets").asArray();
                       b = json::Array{json::Value(a[1].asUInt() - 4), json::Value(a[1].asUInt() + 60)};
                     });
                   },
                   {"overlap those of tensor"}},
        // 200 entries over one 4 MiB blob: a 4.2 MB file that, read entry by entry, asks for gigabytes.
        // Refused from the header alone, before any tensor is read.
        Corruption{"ManyEntriesOverOneBlob",
                   [](const fs::path& f) {
                     constexpr std::size_t kBlob = 4u << 20;
                     json::Object tensors;
                     for (int i = 0; i < 200; ++i)
                       tensors.emplace_back("blob." + std::to_string(i),
                                            json::Object{{"dtype", "F32"},
                                                         {"shape", json::Array{json::Value(kBlob / 4)}},
                                                         {"data_offsets", json::Array{json::Value(0), json::Value(kBlob)}}});
                     std::string text = json::write(json::Value(tensors));
                     std::string bytes;
                     for (int i = 0; i < 8; ++i) bytes += static_cast<char>((text.size() >> (8 * i)) & 0xff);
                     overwrite(f / kWeights, bytes + text + std::string(kBlob, '\0'));
                   },
                   {"weights.safetensors", "\"blob.", "overlap those of tensor \"blob."}}),
    [](const auto& info) { return std::string(info.param.name); });

// The encoder adds the checkpoint's position table, not one of its own.
TEST(ModelLoadingTest, EncoderAddsTheStoredPositionTable) {
  TinyModel tiny;
  auto mel = MLMultiArray::make({1, tiny.dims.nMels, 1, 2 * tiny.dims.nAudioCtx}, MLMultiArrayDataType::float32);
  for (std::int64_t i = 0; i < mel->count(); ++i) mel->setValue(i, std::cos(0.3 * static_cast<double>(i)));
  auto encode = [&] {
    return tiny.load("AudioEncoder")
        ->prediction(MLDictionaryFeatureProvider({{"melspectrogram_features", MLFeatureValue(mel)}}))
        ->featureValue("encoder_output_embeds")
        ->multiArrayValue()
        ->toFloats();
  };
  const auto sinusoidal = encode();
  // Only the stored row of frame 5 changes.
  const auto width = static_cast<std::size_t>(tiny.dims.nAudioState);
  editWeights(tiny.folder("AudioEncoder") / kWeights, [&](auto& t) {
    auto& table = t.at("model.encoder.embed_positions.weight").data;
    for (std::size_t c = 0; c < width; ++c) table[5 * width + c] += c % 2 ? 1.0f : -1.0f;
  });
  const auto shifted = encode();
  double moved = 0;
  for (std::size_t i = 0; i < sinusoidal.size(); ++i) moved = std::max(moved, std::abs(double(shifted[i]) - sinusoidal[i]));
  EXPECT_GT(moved, 0.1);
}

// Byte flips anywhere in the header or the first tensors: every load either succeeds or throws
// MLModelError; the sanitizer build turns any read outside the file into a failure.
TEST(ModelLoadingFuzzTest, MutatedWeightFilesNeverReadOutsideTheFile) {
  TinyModel tiny;
  const fs::path file = tiny.folder("TextDecoder") / kWeights;
  const std::string original = contents(file);
  std::mt19937 rng(11);
  const std::size_t span = std::min<std::size_t>(original.size(), 4096);
  for (int round = 0; round < 150; ++round) {
    std::string bytes = original;
    for (int flips = 1 + static_cast<int>(rng() % 4); flips > 0; --flips)
      bytes[rng() % span] = static_cast<char>(rng() % 256);
    if (round % 10 == 0) bytes.resize(rng() % bytes.size());
    overwrite(file, bytes);
    try {
      MLModel::load(tiny.folder("TextDecoder"));
    } catch (const MLModelError&) {
    }
  }
}

TEST(ModelPredictionTest, InputsAreCheckedAgainstTheDescription) {
  TinyModel tiny;
  auto model = tiny.load("MelSpectrogram");
  EXPECT_EQ(model->modelDescription().inputDescriptionsByName.at("audio").multiArrayConstraint->shape,
            (std::vector<std::int64_t>{3840}));
  auto predict = [&](std::shared_ptr<MLMultiArray> audio) {
    return model->prediction(MLDictionaryFeatureProvider({{"audio", MLFeatureValue(std::move(audio))}}));
  };
  EXPECT_THROW(model->prediction(MLDictionaryFeatureProvider()), MLModelError);
  EXPECT_THROW(predict(MLMultiArray::make({3841}, MLMultiArrayDataType::float32)), MLModelError);
  // Other float types, and whole numbers between integer and float types, are converted.
  EXPECT_NO_THROW(predict(MLMultiArray::make({3840}, MLMultiArrayDataType::float16)));
  EXPECT_NO_THROW(predict(MLMultiArray::make({3840}, MLMultiArrayDataType::int32)));

  auto prefill = tiny.load("TextDecoderContextPrefill");  // takes int32 "task" and "language"
  auto task = MLMultiArray::make({1}, MLMultiArrayDataType::float32);
  auto language = MLMultiArray::make({1}, MLMultiArrayDataType::float32);
  language->setValue(0, 30);
  auto run = [&] {
    return prefill->prediction(MLDictionaryFeatureProvider({{"task", MLFeatureValue(task)}, {"language", MLFeatureValue(language)}}));
  };
  EXPECT_NO_THROW(run());
  task->setValue(0, 0.5);
  try {
    run();
    FAIL() << "a fractional task value was accepted";
  } catch (const MLModelError& e) {
    EXPECT_EQ(e.kind, MLModelError::Kind::featureType);
    EXPECT_NE(std::string(e.what()).find("\"task\""), std::string::npos) << e.what();
  }

  MLState state;
  try {
    model->prediction(MLDictionaryFeatureProvider(), state);
    FAIL() << "stateful prediction ran";
  } catch (const MLModelError& e) {
    EXPECT_EQ(e.kind, MLModelError::Kind::unsupported);
  }
}

TEST(ModelPredictionTest, ConfigurationIsRecordedAndAsyncFormsAgree) {
  TinyModel tiny;
  auto model = MLModel::loadAsync(tiny.folder("MelSpectrogram"), {.computeUnits = MLComputeUnits::cpuAndNeuralEngine}).get();
  EXPECT_EQ(model->configuration().computeUnits, MLComputeUnits::cpuAndNeuralEngine);
  auto audio = MLMultiArray::make({3840}, MLMultiArrayDataType::float32);
  for (std::int64_t i = 0; i < 3840; ++i) audio->setValue(i, std::sin(0.01 * static_cast<double>(i * i)));
  auto input = std::make_shared<MLDictionaryFeatureProvider>(std::map<std::string, MLFeatureValue>{{"audio", MLFeatureValue(audio)}});
  const auto sync = model->prediction(*input)->featureValue("melspectrogram_features")->multiArrayValue()->toFloats();
  const auto async = model->predictionAsync(input).get()->featureValue("melspectrogram_features")->multiArrayValue()->toFloats();
  EXPECT_EQ(sync, async);
}

}  // namespace
}  // namespace platform::ml::testing
