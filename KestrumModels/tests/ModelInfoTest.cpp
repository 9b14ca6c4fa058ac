#include "KestrumModels/ModelInfo.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace kestrum {
namespace {

namespace fs = std::filesystem;
using platform::ml::MLComputeUnits;

TEST(ModelInfoTest, PatternTextsAndFolderFollowThePresentParts) {
  struct Case {
    std::optional<std::string> version, variant;
    const char* pattern;
    const char* description;
    const char* folder;  // below /base
  };
  const Case cases[] = {
      {std::nullopt, "base", "whisper/*/base/*", "whisper/base", "/base/whisper/base"},
      {"v2", std::nullopt, "whisper/v2/*/*", "whisper/v2", "/base/whisper/v2"},
      {"v2", "base", "whisper/v2/base/*", "whisper/v2/base", "/base/whisper/v2/base"},
      {std::nullopt, std::nullopt, "whisper/*/*/*", "whisper", "/base/whisper"},
  };
  for (const auto& c : cases) {
    const ModelInfo info{.version = c.version, .variant = c.variant, .name = "whisper"};
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(info.downloadPattern(), c.pattern);
    EXPECT_EQ(info.description(), c.description);
    EXPECT_EQ(info.modelURL("/base"), fs::path(c.folder));
  }
  // A part that begins with "/" stays below the base folder.
  EXPECT_EQ((ModelInfo{.version = "/v2", .variant = "//base", .name = "/whisper"}.modelURL("/base")),
            fs::path("/base/whisper/v2/base"));
}

TEST(ModelInfoTest, DebugDescriptionNamesAbsentPartsAndComputeUnits) {
  struct Case {
    MLComputeUnits units;
    const char* text;
  };
  const Case cases[] = {
      {MLComputeUnits::cpuOnly, "cpuOnly"},
      {MLComputeUnits::cpuAndGPU, "cpuAndGPU"},
      {MLComputeUnits::all, "all"},
      {MLComputeUnits::cpuAndNeuralEngine, "cpuAndNeuralEngine"},
      {static_cast<MLComputeUnits>(9), "unknown"},
  };
  for (const auto& c : cases) {
    const ModelInfo info{.variant = "base", .name = "whisper", .computeUnits = c.units};
    EXPECT_EQ(info.debugDescription(),
              std::string("ModelInfo(name: whisper, version: nil, variant: base, computeUnit: ") + c.text + ")");
  }
  const ModelInfo versioned{.version = "v1", .name = "m"};
  EXPECT_EQ(versioned.debugDescription(), "ModelInfo(name: m, version: v1, variant: nil, computeUnit: all)");
}

TEST(ModelInfoTest, BaseFolderIsTheParentOfTheNearestFolderWithTheName) {
  const ModelInfo info{.variant = "base", .name = "whisper"};
  struct Case {
    const char* folder;
    std::optional<fs::path> base;
  };
  const Case cases[] = {
      {"/cache/models/whisper/v1/base", fs::path("/cache/models")},
      {"/cache/models/whisper/v1/base/", fs::path("/cache/models")},
      {"/a/whisper/b/whisper/c", fs::path("/a/whisper/b")},  // the nearest one counts
      {"/whisper", fs::path("/")},
      {"/cache/whisperx/base", std::nullopt},  // whole components only
      {"/", std::nullopt},
      {"", std::nullopt},
      {"rel/whisper/base", fs::path("rel")},
      {"whisper", std::nullopt},  // one component: nothing above it
  };
  for (const auto& c : cases) EXPECT_EQ(info.findBaseFolder(c.folder), c.base) << c.folder;
}

}  // namespace
}  // namespace kestrum
