#include "Murmel/data/TranscriptionResult.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "KestrumCore/Describe.h"
#include "KestrumCore/Logging.h"
#include "Murmel/data/detail/JsonFields.h"
#include "platform/System/NumberText.h"

namespace murmel {

using platform::json::DecodingError;
using platform::json::Object;
using platform::json::Value;

namespace {

using platform::system::fixedText;

// A map keyed by token id is an object keyed by the decimal ids: {"50363":-0.25}.
Value tokenLogProbsToJson(const std::vector<std::map<std::int64_t, float>>& maps) {
  platform::json::Array array;
  array.reserve(maps.size());
  for (const auto& map : maps) {
    Object object;
    object.reserve(map.size());
    for (const auto& [token, logProb] : map) object.emplace_back(std::to_string(token), Value(logProb));
    array.emplace_back(std::move(object));
  }
  return Value(std::move(array));
}

// A decimal id with an optional sign: "50363", "-1", "+7"; anything else is a type mismatch.
std::int64_t tokenKey(const std::string& key) {
  const char* first = key.data();
  const char* last = key.data() + key.size();
  if (first != last && *first == '+' && last - first > 1 && first[1] != '-') ++first;
  std::int64_t token = 0;
  auto [end, error] = std::from_chars(first, last, token);
  if (first == last || error != std::errc() || end != last)
    throw DecodingError(DecodingError::Kind::typeMismatch, "Expected Int key but found String key instead.");
  return token;
}

std::vector<std::map<std::int64_t, float>> tokenLogProbsFromJson(const Value& json) {
  std::vector<std::map<std::int64_t, float>> maps;
  for (const Value& element : json.asArray()) {
    std::map<std::int64_t, float> map;
    for (const auto& [key, value] : element.asObject()) {
      map[tokenKey(key)] = value.asFloat();
    }
    maps.push_back(std::move(map));
  }
  return maps;
}

}  // namespace

Value WordTiming::toJson() const {
  Object o;
  detail::put(o, "word", word);
  detail::put(o, "tokens", tokens);
  detail::put(o, "start", start);
  detail::put(o, "end", end);
  detail::put(o, "probability", probability);
  return Value(std::move(o));
}

WordTiming WordTiming::fromJson(const Value& json) {
  const Value& j = detail::keyed(json);
  WordTiming w;
  w.word = detail::required<std::string>(j, "word");
  w.tokens = detail::required<std::vector<std::int64_t>>(j, "tokens");
  w.start = detail::required<float>(j, "start");
  w.end = detail::required<float>(j, "end");
  w.probability = detail::required<float>(j, "probability");
  return w;
}

Value TranscriptionSegment::toJson() const {
  Object o;
  detail::put(o, "id", id);
  detail::put(o, "seek", seek);
  detail::put(o, "start", start);
  detail::put(o, "end", end);
  detail::put(o, "text", text);
  detail::put(o, "tokens", tokens);
  o.emplace_back("tokenLogProbs", tokenLogProbsToJson(tokenLogProbs));
  detail::put(o, "temperature", temperature);
  detail::put(o, "avgLogprob", avgLogprob);
  detail::put(o, "compressionRatio", compressionRatio);
  detail::put(o, "noSpeechProb", noSpeechProb);
  detail::putIfPresent(o, "words", words);
  return Value(std::move(o));
}

TranscriptionSegment TranscriptionSegment::fromJson(const Value& json) {
  const Value& j = detail::keyed(json);
  TranscriptionSegment s;
  s.id = detail::required<std::int64_t>(j, "id");
  s.seek = detail::required<std::int64_t>(j, "seek");
  s.start = detail::required<float>(j, "start");
  s.end = detail::required<float>(j, "end");
  s.text = detail::required<std::string>(j, "text");
  s.tokens = detail::required<std::vector<std::int64_t>>(j, "tokens");
  s.tokenLogProbs = tokenLogProbsFromJson(j.at("tokenLogProbs"));
  s.temperature = detail::required<float>(j, "temperature");
  s.avgLogprob = detail::required<float>(j, "avgLogprob");
  s.compressionRatio = detail::required<float>(j, "compressionRatio");
  s.noSpeechProb = detail::required<float>(j, "noSpeechProb");
  s.words = detail::optional<std::vector<WordTiming>>(j, "words");
  return s;
}

std::string description(TranscriptionState state) {
  switch (state) {
    case TranscriptionState::convertingAudio: return "Converting Audio";
    case TranscriptionState::transcribing: return "Transcribing";
    case TranscriptionState::finished: return "Finished";
  }
  return {};
}

TranscriptionResult::TranscriptionResult(std::string text, std::vector<TranscriptionSegment> segments,
                                         std::string language, TranscriptionTimings timings,
                                         std::optional<float> seekTime)
    : text_(std::move(text)),
      segments_(std::move(segments)),
      language_(std::move(language)),
      timings_(std::move(timings)),
      seekTime_(seekTime) {}

std::vector<WordTiming> TranscriptionResult::allWords() const {
  std::vector<WordTiming> words;
  for (const auto& segment : segments())
    if (segment.words) words.insert(words.end(), segment.words->begin(), segment.words->end());
  return words;
}

void TranscriptionResult::logSegments() const {
  if (kestrum::Logging::shared().logLevel() > kestrum::Logging::LogLevel::debug) return;
  const auto all = segments();
  for (std::size_t i = 0; i < all.size(); ++i) {
    kestrum::Logging::debug("[Segment " + std::to_string(i) + "] [" + fixedText(all[i].start, 2) + " --> " +
                            fixedText(all[i].end, 2) + "] " + all[i].text);
  }
}

std::string TranscriptionResult::timingsReport() const {
  const TranscriptionTimings t = timings();
  const double full = std::max(t.fullPipeline, t.decodingLoop) * 1000;
  std::size_t totalTokens = 0;
  for (const auto& segment : segments()) totalTokens += segment.tokens.size();

  std::string report = "---- Transcription Timings ----";
  auto row = [&](const char* label, double time, double runs) {
    char padded[64];
    std::snprintf(padded, sizeof padded, "%-21s", label);
    report += "\n";
    report += padded;
    report += kestrum::Logging::formatTimeWithPercentage(time, runs, full);
  };
  row("Audio Load:", t.audioLoading, 1);
  row("Audio Processing:", t.audioProcessing, t.totalAudioProcessingRuns);
  row("Mels:", t.logmels, t.totalLogmelRuns);
  row("Encoding:", t.encoding, t.totalEncodingRuns);
  row("Matrices Init:", t.decodingInit, 1);
  row("Prefill:", t.prefill, 1);
  row("Decoding:", t.decodingPredictions, t.totalDecodingLoops);
  row("Non-inference:", t.decodingNonPrediction, t.totalDecodingLoops);
  row("- Logit Filtering:", t.decodingFiltering, t.totalDecodingLoops);
  row("- Sampling:", t.decodingSampling, t.totalDecodingLoops);
  row("- Kv Caching:", t.decodingKvCaching, t.totalKVUpdateRuns);
  row("- Word Timestamps:", t.decodingWordTimestamps, t.totalTimestampAlignmentRuns);
  row("- Windowing:", t.decodingWindowing - t.decodingWordTimestamps, t.totalDecodingWindows);
  row("Fallbacks:", t.decodingFallback, t.totalDecodingFallbacks);
  row("Decoding Full Loop:", t.decodingLoop, t.totalDecodingLoops);
  report += "\n-------------------------------";

  auto line = [&](const char* label, const std::string& value, const char* suffix) {
    char padded[64];
    std::snprintf(padded, sizeof padded, "%-31s", label);
    report += "\n";
    report += padded;
    report += value;
    report += suffix;
  };
  line("Model Load Time:", fixedText(t.modelLoading, 2), " seconds");
  line("- Prewarm:", fixedText(t.prewarmLoadTime, 2), " seconds");
  line("- Encoder:", fixedText(t.encoderLoadTime, 2), " seconds");
  line("- Decoder:", fixedText(t.decoderLoadTime, 2), " seconds");
  line("- Tokenizer:", fixedText(t.tokenizerLoadTime, 2), " seconds");
  line("Inference Duration (Global):", fixedText(t.fullPipeline, 2), " seconds");
  line("- Decoding Loop (Avg/window):", fixedText(t.decodingLoop / t.totalAudioProcessingRuns, 2), " seconds");
  line("- Audio Windows:", fixedText(t.totalAudioProcessingRuns, 2), "");
  line("Time to first token:", fixedText(t.firstTokenTime - t.pipelineStart, 2), " seconds");
  line("Total Tokens:", std::to_string(totalTokens), "");
  line("Tokens per Second:", fixedText(t.totalDecodingLoops / t.fullPipeline, 2), " tok/s");
  line("Real Time Factor:", fixedText(t.fullPipeline / t.inputAudioSeconds, 3), "");
  line("Speed Factor:", fixedText(1 / (t.fullPipeline / t.inputAudioSeconds), 3), "");
  line("Fallbacks:", kestrum::describeDouble(t.totalDecodingFallbacks), "");
  return report;
}

void TranscriptionResult::logTimings() const {
  if (kestrum::Logging::shared().logLevel() > kestrum::Logging::LogLevel::info) return;
  kestrum::Logging::info(timingsReport());
}

Value TranscriptionResult::toJson() const {
  Object o;
  o.emplace_back("text", text_.toJson());
  o.emplace_back("segments", segments_.toJson());
  o.emplace_back("language", language_.toJson());
  o.emplace_back("timings", timings_.toJson());
  o.emplace_back("seekTime", seekTime_.toJson());  // null when absent
  return Value(std::move(o));
}

TranscriptionResult TranscriptionResult::fromJson(const Value& json) {
  const Value& j = detail::keyed(json);
  auto text = detail::required<std::string>(j, "text");
  auto segments = detail::required<std::vector<TranscriptionSegment>>(j, "segments");
  auto language = detail::required<std::string>(j, "language");
  auto timings = detail::required<TranscriptionTimings>(j, "timings");
  auto seekTime = detail::required<std::optional<float>>(j, "seekTime");  // the key must be there
  return TranscriptionResult(std::move(text), std::move(segments), std::move(language), timings, seekTime);
}

Value TranscriptionResultStruct::toJson() const {
  Object o;
  detail::put(o, "text", text);
  detail::put(o, "segments", segments);
  detail::put(o, "language", language);
  detail::put(o, "timings", timings);
  detail::putIfPresent(o, "seekTime", seekTime);
  return Value(std::move(o));
}

TranscriptionResultStruct TranscriptionResultStruct::fromJson(const Value& json) {
  const Value& j = detail::keyed(json);
  TranscriptionResultStruct r;
  r.text = detail::required<std::string>(j, "text");
  r.segments = detail::required<std::vector<TranscriptionSegment>>(j, "segments");
  r.language = detail::required<std::string>(j, "language");
  r.timings = detail::required<TranscriptionTimings>(j, "timings");
  r.seekTime = detail::optional<float>(j, "seekTime");
  return r;
}

}  // namespace murmel
