// The speech engine's fixed values and tables. The tables are built once on first use
// (thread-safe) and shared read-only afterwards.
//   Constants::languages().at("burmese") == "my";  Constants::languageCodes().count("my") == 1
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Murmel/data/ModelSupport.h"

namespace murmel {

struct Constants {
  static constexpr std::int64_t maxTokenContext = 224;             // decoder tokens per 30 s window
  static constexpr std::int64_t defaultWindowSamples = 480000;     // 30 s at 16 kHz
  static constexpr std::uint32_t defaultAudioReadFrameSize = 1323000;
  static constexpr std::string_view defaultLanguageCode = "en";
  static constexpr std::string_view defaultRemoteConfigName = "config.json";
  static constexpr std::string_view defaultRemoteEndpoint = "https://huggingface.co";
  // "<", "|" and ">": trimmed from a special token's text to get its bare name
  // (trimmingSpecialTokenCharacters in Murmel/common/EngineUtilities.h).
  static constexpr std::string_view specialTokenCharacters = "<|>";
  // Joined to the following word: " ' “ ¡ ¿ ( [ { -
  static const std::string defaultPrependPunctuations;
  // Joined to the preceding word: " ' . 。 , ， ! ！ ? ？ : ： ” ) ] } 、
  static const std::string defaultAppendPunctuations;

  // Language name (lower case, English) to code; 112 entries.
  static const std::map<std::string, std::string>& languages();
  // The 100 distinct codes of `languages`.
  static const std::set<std::string>& languageCodes();

  static const ModelSupportConfig& fallbackModelSupportConfig();
  static const std::vector<std::string>& knownModels();
};

}  // namespace murmel
