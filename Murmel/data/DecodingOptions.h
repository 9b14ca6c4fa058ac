// Per-call decoding settings with their defaults, the decoding task and the chunking choice.
// Plain copyable values. JSON form: one object with the 28 field names as keys in field order;
// absent optionals leave their key out; on reading the 18 non-optional keys are required and a
// missing or mistyped one throws platform::json::DecodingError.
//   DecodingOptions o({.usePrefillPrompt = false});  // o.detectLanguage == true
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/System/Json.h"

namespace murmel {

// Written as {"transcribe":{}} or {"translate":{}}.
enum class DecodingTask { transcribe, translate };

std::string description(DecodingTask task);
const std::vector<DecodingTask>& allDecodingTasks();
platform::json::Value toJson(DecodingTask task);
// Throws typeMismatch "Invalid number of keys found, expected one." unless exactly one known key.
DecodingTask decodingTaskFromJson(const platform::json::Value& json);

// Written as its raw value, "none" or "vad".
enum class ChunkingStrategy { none, vad };

std::string rawValue(ChunkingStrategy strategy);
std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view rawValue);  // exact, case-sensitive
const std::vector<ChunkingStrategy>& allChunkingStrategies();
ChunkingStrategy chunkingStrategyFromJson(const platform::json::Value& json);

// The initialiser's arguments: the fields' defaults, except three that are resolved when absent.
struct DecodingOptionsArguments {
  bool verbose = false;
  DecodingTask task = DecodingTask::transcribe;
  std::optional<std::string> language{};
  float temperature = 0.0f;
  float temperatureIncrementOnFallback = 0.2f;
  std::int64_t temperatureFallbackCount = 5;
  std::int64_t sampleLength = 224;
  std::int64_t topK = 5;
  bool usePrefillPrompt = true;
  bool usePrefillCache = true;
  std::optional<bool> detectLanguage{};  // absent: !usePrefillPrompt
  bool skipSpecialTokens = false;
  bool withoutTimestamps = false;
  bool wordTimestamps = false;
  std::optional<float> maxInitialTimestamp{};
  std::optional<std::int64_t> maxWindowSeek{};
  std::vector<float> clipTimestamps{};
  float windowClipTime = 1.0f;
  std::optional<std::vector<std::int64_t>> promptTokens{};
  std::optional<std::vector<std::int64_t>> prefixTokens{};
  bool suppressBlank = false;
  std::optional<std::vector<std::int64_t>> supressTokens{};  // absent: empty
  std::optional<float> compressionRatioThreshold = 2.4f;
  std::optional<float> logProbThreshold = -1.0f;
  std::optional<float> firstTokenLogProbThreshold = -1.5f;
  std::optional<float> noSpeechThreshold = 0.6f;
  std::optional<std::int64_t> concurrentWorkerCount{};  // absent: 16
  std::optional<ChunkingStrategy> chunkingStrategy{};
};

struct DecodingOptions {
  using Arguments = DecodingOptionsArguments;

  DecodingOptions() = default;
  explicit DecodingOptions(const Arguments& arguments);

  bool verbose = false;
  DecodingTask task = DecodingTask::transcribe;
  std::optional<std::string> language;                    // absent: detected or "en"
  float temperature = 0.0f;                               // first attempt
  float temperatureIncrementOnFallback = 0.2f;            // added per fallback attempt
  std::int64_t temperatureFallbackCount = 5;              // fallback attempts at most
  std::int64_t sampleLength = 224;                        // decoding steps per window at most
  std::int64_t topK = 5;
  bool usePrefillPrompt = true;
  bool usePrefillCache = true;
  bool detectLanguage = false;
  bool skipSpecialTokens = false;
  bool withoutTimestamps = false;
  bool wordTimestamps = false;
  std::optional<float> maxInitialTimestamp;
  std::optional<std::int64_t> maxWindowSeek;
  std::vector<float> clipTimestamps;                      // seconds, start/end pairs
  float windowClipTime = 1.0f;                            // seconds
  std::optional<std::vector<std::int64_t>> promptTokens;
  std::optional<std::vector<std::int64_t>> prefixTokens;
  bool suppressBlank = false;
  std::vector<std::int64_t> supressTokens;                // the stored spelling has one "p"
  std::optional<float> compressionRatioThreshold = 2.4f;  // absent: check off
  std::optional<float> logProbThreshold = -1.0f;
  std::optional<float> firstTokenLogProbThreshold = -1.5f;
  std::optional<float> noSpeechThreshold = 0.6f;
  std::int64_t concurrentWorkerCount = 16;
  std::optional<ChunkingStrategy> chunkingStrategy;       // absent or none: window by window

  // Throws EncodingError for a non-finite number when written.
  platform::json::Value toJson() const;
  static DecodingOptions fromJson(const platform::json::Value& json);

  friend bool operator==(const DecodingOptions&, const DecodingOptions&) = default;
};

}  // namespace murmel
