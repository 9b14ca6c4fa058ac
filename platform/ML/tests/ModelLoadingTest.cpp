#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <random>

#include "platform/ML/detail/Safetensors.h"
#include "platform/ML/tests/TinyModel.h"

namespace platform::ml::testing {
namespace {

namespace fs = std::filesystem;

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
};

class ModelLoadingTest : public ::testing::TestWithParam<Corruption> {};

TEST_P(ModelLoadingTest, CorruptFolderGivesAClearError) {
  TinyModel tiny;
  const fs::path folder = tiny.folder("TextDecoder");
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
                   {"alignment head [1, 4]"}}),
    [](const auto& info) { return std::string(info.param.name); });

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
