#include <gtest/gtest.h>

#include <fstream>

#include "KestrumCore/ModelUtilities.h"
#include "testsupport/Fixtures.h"

namespace kestrum {
namespace {

namespace fs = std::filesystem;
using namespace platform::ml;

void makePackage(const fs::path& folder, const std::string& name) {
  fs::create_directories(folder / (name + ".mlpackage/Data/com.apple.CoreML"));
  std::ofstream(folder / (name + ".mlpackage/Data/com.apple.CoreML/model.mlmodel")) << "x";
}

TEST(ModelUtilitiesTest, CompiledModelWinsOverPackage) {
  testsupport::TempDir dir;
  const fs::path& f = dir.path();
  EXPECT_EQ(ModelUtilities::detectModelURL(f, "AudioEncoder"), f / "AudioEncoder.mlmodelc");  // neither exists
  makePackage(f, "AudioEncoder");
  EXPECT_EQ(ModelUtilities::detectModelURL(f, "AudioEncoder"), f / "AudioEncoder.mlpackage/Data/com.apple.CoreML/model.mlmodel");
  EXPECT_EQ(ModelUtilities::detectModelURL(f), f / "AudioEncoder.mlpackage/Data/com.apple.CoreML/model.mlmodel");
  fs::create_directory(f / "AudioEncoder.mlmodelc");
  EXPECT_EQ(ModelUtilities::detectModelURL(f, "AudioEncoder"), f / "AudioEncoder.mlmodelc");
  EXPECT_EQ(ModelUtilities::detectModelURL(f), f / "AudioEncoder.mlmodelc");
  EXPECT_FALSE(ModelUtilities::detectModelURL(f / "absent"));
}

TEST(ModelUtilitiesTest, RecursiveSearchFindsCompiledModelsOnly) {
  testsupport::TempDir dir;
  const fs::path& f = dir.path();
  makePackage(f, "TextDecoder");
  EXPECT_EQ(ModelUtilities::detectModelURL(f, "TextDecoder", true), f / "TextDecoder.mlmodelc");
  fs::create_directories(f / "a/b/TextDecoder.mlmodelc");
  EXPECT_EQ(ModelUtilities::detectModelURL(f, "TextDecoder", true), f / "a/b/TextDecoder.mlmodelc");
  EXPECT_EQ(ModelUtilities::detectModelURL(f, "TextDecoder", false),
            f / "TextDecoder.mlpackage/Data/com.apple.CoreML/model.mlmodel");
}

std::shared_ptr<const MLModel> describedModel() {
  MLModelDescription d;
  d.inputDescriptionsByName["audio"] = {"audio", MLFeatureType::multiArray, false,
                                        MLMultiArrayConstraint{{480000}, MLMultiArrayDataType::float32}};
  d.inputDescriptionsByName["scale"] = {"scale", MLFeatureType::doubleValue, false, std::nullopt};
  d.outputDescriptionsByName["encoder_output_embeds"] = {
      "encoder_output_embeds", MLFeatureType::multiArray, false, MLMultiArrayConstraint{{1, 9, 1, 4}, MLMultiArrayDataType::float16}};
  d.outputDescriptionsByName["image"] = {"image", MLFeatureType::image, false, std::nullopt};
  return std::make_shared<MLModel>("X.mlmodelc", MLModelConfiguration{}, d);
}

TEST(ModelUtilitiesTest, DimensionsOfMultiArrayFeaturesOnly) {
  const auto model = describedModel();
  EXPECT_EQ(ModelUtilities::getModelInputDimension(model, "audio", 0), 480000);
  EXPECT_EQ(ModelUtilities::getModelOutputDimension(model, "encoder_output_embeds", 1), 9);
  EXPECT_EQ(ModelUtilities::getModelOutputDimention(model, "encoder_output_embeds", 3), 4);
  EXPECT_FALSE(ModelUtilities::getModelOutputDimension(model, "encoder_output_embeds", 4));
  EXPECT_FALSE(ModelUtilities::getModelInputDimension(model, "scale", 0));
  EXPECT_FALSE(ModelUtilities::getModelOutputDimension(model, "image", 0));
  EXPECT_FALSE(ModelUtilities::getModelInputDimension(model, "encoder_output_embeds", 0));  // wrong side
  EXPECT_FALSE(ModelUtilities::getModelInputDimention(nullptr, "audio", 0));
}

}  // namespace
}  // namespace kestrum
