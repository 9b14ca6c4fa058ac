#include "Murmel/data/DecodingOptions.h"

#include "Murmel/data/detail/JsonFields.h"

namespace murmel {

using platform::json::DecodingError;
using platform::json::Object;
using platform::json::Value;

std::string description(DecodingTask task) {
  return task == DecodingTask::transcribe ? "transcribe" : "translate";
}

const std::vector<DecodingTask>& allDecodingTasks() {
  static const std::vector<DecodingTask> cases{DecodingTask::transcribe, DecodingTask::translate};
  return cases;
}

Value toJson(DecodingTask task) { return Value(Object{{description(task), Value(Object{})}}); }

// Only the known keys count: {"transcribe":{},"x":1} is transcribe; {} and both keys are errors.
DecodingTask decodingTaskFromJson(const Value& json) {
  const Value* transcribe = detail::keyed(json).find("transcribe");
  const Value* translate = json.find("translate");
  if ((transcribe != nullptr) == (translate != nullptr))
    throw DecodingError(DecodingError::Kind::typeMismatch, "Invalid number of keys found, expected one.");
  (transcribe ? transcribe : translate)->asObject();
  return transcribe ? DecodingTask::transcribe : DecodingTask::translate;
}

std::string rawValue(ChunkingStrategy strategy) { return strategy == ChunkingStrategy::none ? "none" : "vad"; }

std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view raw) {
  if (raw == "none") return ChunkingStrategy::none;
  if (raw == "vad") return ChunkingStrategy::vad;
  return std::nullopt;
}

const std::vector<ChunkingStrategy>& allChunkingStrategies() {
  static const std::vector<ChunkingStrategy> cases{ChunkingStrategy::none, ChunkingStrategy::vad};
  return cases;
}

ChunkingStrategy chunkingStrategyFromJson(const Value& json) {
  const std::string& raw = json.asString();
  if (auto strategy = chunkingStrategyFromRawValue(raw)) return *strategy;
  throw DecodingError(DecodingError::Kind::dataCorrupted,
                      "Cannot initialize ChunkingStrategy from invalid String value " + raw);
}

DecodingOptions::DecodingOptions(const Arguments& a)
    : verbose(a.verbose),
      task(a.task),
      language(a.language),
      temperature(a.temperature),
      temperatureIncrementOnFallback(a.temperatureIncrementOnFallback),
      temperatureFallbackCount(a.temperatureFallbackCount),
      sampleLength(a.sampleLength),
      topK(a.topK),
      usePrefillPrompt(a.usePrefillPrompt),
      usePrefillCache(a.usePrefillCache),
      detectLanguage(a.detectLanguage.value_or(!a.usePrefillPrompt)),
      skipSpecialTokens(a.skipSpecialTokens),
      withoutTimestamps(a.withoutTimestamps),
      wordTimestamps(a.wordTimestamps),
      maxInitialTimestamp(a.maxInitialTimestamp),
      maxWindowSeek(a.maxWindowSeek),
      clipTimestamps(a.clipTimestamps),
      windowClipTime(a.windowClipTime),
      promptTokens(a.promptTokens),
      prefixTokens(a.prefixTokens),
      suppressBlank(a.suppressBlank),
      supressTokens(a.supressTokens.value_or(std::vector<std::int64_t>{})),
      compressionRatioThreshold(a.compressionRatioThreshold),
      logProbThreshold(a.logProbThreshold),
      firstTokenLogProbThreshold(a.firstTokenLogProbThreshold),
      noSpeechThreshold(a.noSpeechThreshold),
      concurrentWorkerCount(a.concurrentWorkerCount.value_or(16)),
      chunkingStrategy(a.chunkingStrategy) {}

Value DecodingOptions::toJson() const {
  using detail::put;
  using detail::putIfPresent;
  Object o;
  put(o, "verbose", verbose);
  o.emplace_back("task", murmel::toJson(task));
  putIfPresent(o, "language", language);
  put(o, "temperature", temperature);
  put(o, "temperatureIncrementOnFallback", temperatureIncrementOnFallback);
  put(o, "temperatureFallbackCount", temperatureFallbackCount);
  put(o, "sampleLength", sampleLength);
  put(o, "topK", topK);
  put(o, "usePrefillPrompt", usePrefillPrompt);
  put(o, "usePrefillCache", usePrefillCache);
  put(o, "detectLanguage", detectLanguage);
  put(o, "skipSpecialTokens", skipSpecialTokens);
  put(o, "withoutTimestamps", withoutTimestamps);
  put(o, "wordTimestamps", wordTimestamps);
  putIfPresent(o, "maxInitialTimestamp", maxInitialTimestamp);
  putIfPresent(o, "maxWindowSeek", maxWindowSeek);
  put(o, "clipTimestamps", clipTimestamps);
  put(o, "windowClipTime", windowClipTime);
  putIfPresent(o, "promptTokens", promptTokens);
  putIfPresent(o, "prefixTokens", prefixTokens);
  put(o, "suppressBlank", suppressBlank);
  put(o, "supressTokens", supressTokens);
  putIfPresent(o, "compressionRatioThreshold", compressionRatioThreshold);
  putIfPresent(o, "logProbThreshold", logProbThreshold);
  putIfPresent(o, "firstTokenLogProbThreshold", firstTokenLogProbThreshold);
  putIfPresent(o, "noSpeechThreshold", noSpeechThreshold);
  put(o, "concurrentWorkerCount", concurrentWorkerCount);
  if (chunkingStrategy) o.emplace_back("chunkingStrategy", Value(rawValue(*chunkingStrategy)));
  return Value(std::move(o));
}

DecodingOptions DecodingOptions::fromJson(const Value& json) {
  using detail::optional;
  using detail::required;
  const Value& j = detail::keyed(json);
  DecodingOptions o;
  o.verbose = required<bool>(j, "verbose");
  o.task = decodingTaskFromJson(j.at("task"));
  o.language = optional<std::string>(j, "language");
  o.temperature = required<float>(j, "temperature");
  o.temperatureIncrementOnFallback = required<float>(j, "temperatureIncrementOnFallback");
  o.temperatureFallbackCount = required<std::int64_t>(j, "temperatureFallbackCount");
  o.sampleLength = required<std::int64_t>(j, "sampleLength");
  o.topK = required<std::int64_t>(j, "topK");
  o.usePrefillPrompt = required<bool>(j, "usePrefillPrompt");
  o.usePrefillCache = required<bool>(j, "usePrefillCache");
  o.detectLanguage = required<bool>(j, "detectLanguage");
  o.skipSpecialTokens = required<bool>(j, "skipSpecialTokens");
  o.withoutTimestamps = required<bool>(j, "withoutTimestamps");
  o.wordTimestamps = required<bool>(j, "wordTimestamps");
  o.maxInitialTimestamp = optional<float>(j, "maxInitialTimestamp");
  o.maxWindowSeek = optional<std::int64_t>(j, "maxWindowSeek");
  o.clipTimestamps = required<std::vector<float>>(j, "clipTimestamps");
  o.windowClipTime = required<float>(j, "windowClipTime");
  o.promptTokens = optional<std::vector<std::int64_t>>(j, "promptTokens");
  o.prefixTokens = optional<std::vector<std::int64_t>>(j, "prefixTokens");
  o.suppressBlank = required<bool>(j, "suppressBlank");
  o.supressTokens = required<std::vector<std::int64_t>>(j, "supressTokens");
  o.compressionRatioThreshold = optional<float>(j, "compressionRatioThreshold");
  o.logProbThreshold = optional<float>(j, "logProbThreshold");
  o.firstTokenLogProbThreshold = optional<float>(j, "firstTokenLogProbThreshold");
  o.noSpeechThreshold = optional<float>(j, "noSpeechThreshold");
  o.concurrentWorkerCount = required<std::int64_t>(j, "concurrentWorkerCount");
  const Value* strategy = j.find("chunkingStrategy");
  o.chunkingStrategy = strategy && !strategy->isNull() ? std::optional(chunkingStrategyFromJson(*strategy))
                                                       : std::nullopt;
  return o;
}

}  // namespace murmel
