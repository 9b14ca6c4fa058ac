// What the engine needs to come up: which model and where to get it, repository access, compute
// units, audio input, replacement stages, logging, and what to do at construction. A plain holder:
// it checks and derives nothing; the engine applies every default when it reads an absent field and
// copies what it keeps, so changing a configuration after construction has no effect on that engine.
// Stage objects are held by reference and shared with every engine built from the configuration.
//   MurmelConfig config{.model = "base.en", .download = true};  auto engine = Murmel::create(config);
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KestrumCore/Logging.h"
#include "Murmel/audio/AudioEncoder.h"
#include "Murmel/audio/AudioInputConfig.h"
#include "Murmel/audio/AudioProcessing.h"
#include "Murmel/audio/VoiceActivityDetector.h"
#include "Murmel/data/ModelVariant.h"
#include "Murmel/decoding/LogitsFilter.h"
#include "Murmel/decoding/TextDecoder.h"
#include "Murmel/transcription/SegmentSeeker.h"

namespace murmel {

struct MurmelConfig {
  std::optional<std::string> model{};                 // variant name, "base.en"; absent: the device's recommendation
  std::optional<std::filesystem::path> downloadBase{};  // repository client's cache root; absent: its default
  std::optional<std::string> modelRepo{};             // repository id; absent: the engine's default
  std::optional<std::string> modelToken{};            // access token; absent: the client finds one
  std::optional<std::string> modelEndpoint{};         // service address; absent: the client's default
  std::optional<std::string> modelFolder{};           // a local model folder, used as it is (no download)
  std::optional<std::filesystem::path> tokenizerFolder{};  // absent: downloadBase
  std::optional<ModelComputeOptions> computeOptions{};  // absent: the engine's default units
  std::optional<AudioInputConfig> audioInputConfig{};  // absent: all channels summed

  // Replacement stages; absent: a new default object.
  std::shared_ptr<AudioProcessing> audioProcessor{};
  std::shared_ptr<FeatureExtracting> featureExtractor{};
  std::shared_ptr<AudioEncoding> audioEncoder{};
  std::shared_ptr<TextDecoding> textDecoder{};
  std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters{};  // present: replaces the decoder's list
  std::shared_ptr<SegmentSeeking> segmentSeeker{};
  std::shared_ptr<const VoiceActivityDetector> voiceActivityDetector{};  // absent: the chunked path's energy detector

  bool verbose = true;                                              // false: the logger's level becomes none
  kestrum::Logging::LogLevel logLevel = kestrum::Logging::LogLevel::info;
  std::optional<bool> prewarm{};                                    // true: specialise every model first
  std::optional<bool> load{};                                       // absent: load when a folder was given
  bool download = true;                                             // fetch the model folder when none is given
  bool useBackgroundDownloadSession = false;
};

}  // namespace murmel
