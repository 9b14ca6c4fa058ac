// The engine's results: timed words and segments, the progress record, the coarse state, and
// `TranscriptionResult`, whose five fields each sit behind their own lock (one get, one set and
// the encoding of one field are each atomic; there is no lock over the whole object).
// JSON: keys are the field names in field order. `TranscriptionResult` writes an absent
// `seekTime` as null and requires the key; `TranscriptionResultStruct` leaves it out.
// Reading throws platform::json::DecodingError; writing a non-finite number throws EncodingError.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "KestrumCore/PropertyLock.h"
#include "Murmel/data/TranscriptionTimings.h"
#include "platform/System/Json.h"

namespace murmel {

struct WordTiming {
  std::string word;
  std::vector<std::int64_t> tokens;
  float start = 0;  // seconds
  float end = 0;
  float probability = 0;

  float duration() const { return end - start; }

  platform::json::Value toJson() const;
  static WordTiming fromJson(const platform::json::Value& json);
  friend bool operator==(const WordTiming&, const WordTiming&) = default;
};

struct TranscriptionSegment {
  std::int64_t id = 0;
  std::int64_t seek = 0;  // window start, in 16 kHz samples
  float start = 0;        // seconds
  float end = 0;
  std::string text;
  std::vector<std::int64_t> tokens;
  std::vector<std::map<std::int64_t, float>> tokenLogProbs;  // per token: id -> log-probability
  float temperature = 0;
  float avgLogprob = 0;
  float compressionRatio = 0;
  float noSpeechProb = 0;
  std::optional<std::vector<WordTiming>> words;  // absent without word timestamps

  float duration() const { return end - start; }

  platform::json::Value toJson() const;
  static TranscriptionSegment fromJson(const platform::json::Value& json);
  friend bool operator==(const TranscriptionSegment&, const TranscriptionSegment&) = default;
};

// Handed to the per-token callback.
struct TranscriptionProgress {
  TranscriptionTimings timings;
  std::string text;
  std::vector<std::int64_t> tokens;
  std::optional<float> temperature;
  std::optional<float> avgLogprob;
  std::optional<float> compressionRatio;
  std::int64_t windowId = 0;
};

enum class TranscriptionState { convertingAudio, transcribing, finished };

std::string description(TranscriptionState state);  // "Converting Audio", "Transcribing", "Finished"

class TranscriptionResult {
 public:
  TranscriptionResult(std::string text = {}, std::vector<TranscriptionSegment> segments = {},
                      std::string language = {}, TranscriptionTimings timings = {},
                      std::optional<float> seekTime = std::nullopt);
  virtual ~TranscriptionResult() = default;

  virtual std::string text() const { return text_.get(); }
  virtual void setText(std::string value) { text_.set(std::move(value)); }
  virtual std::vector<TranscriptionSegment> segments() const { return segments_.get(); }
  virtual void setSegments(std::vector<TranscriptionSegment> value) { segments_.set(std::move(value)); }
  virtual std::string language() const { return language_.get(); }
  virtual void setLanguage(std::string value) { language_.set(std::move(value)); }
  virtual TranscriptionTimings timings() const { return timings_.get(); }
  virtual void setTimings(TranscriptionTimings value) { timings_.set(std::move(value)); }
  virtual std::optional<float> seekTime() const { return seekTime_.get(); }
  virtual void setSeekTime(std::optional<float> value) { seekTime_.set(value); }

  // In-place changes, each under the field's lock for the whole change, so that two concurrent
  // changes of one field are never lost. `change` must not touch this result.
  template <class Change>
  decltype(auto) modifyText(Change&& change) { return text_.modify(std::forward<Change>(change)); }
  template <class Change>
  decltype(auto) modifySegments(Change&& change) { return segments_.modify(std::forward<Change>(change)); }
  template <class Change>
  decltype(auto) modifyLanguage(Change&& change) { return language_.modify(std::forward<Change>(change)); }
  template <class Change>
  decltype(auto) modifyTimings(Change&& change) { return timings_.modify(std::forward<Change>(change)); }
  template <class Change>
  decltype(auto) modifySeekTime(Change&& change) { return seekTime_.modify(std::forward<Change>(change)); }

  // Debug lines "[Segment 0] [0.00 --> 2.46] text", one per segment.
  virtual void logSegments() const;
  // The timings report as one info-level message.
  virtual void logTimings() const;
  // The report's text, as logTimings() emits it.
  std::string timingsReport() const;

  virtual platform::json::Value toJson() const;
  static TranscriptionResult fromJson(const platform::json::Value& json);

  // The words of every segment in order; segments without words are skipped.
  std::vector<WordTiming> allWords() const;

 private:
  kestrum::PropertyLock<std::string> text_;
  kestrum::PropertyLock<std::vector<TranscriptionSegment>> segments_;
  kestrum::PropertyLock<std::string> language_;
  kestrum::PropertyLock<TranscriptionTimings> timings_;
  kestrum::PropertyLock<std::optional<float>> seekTime_;
};

struct TranscriptionResultStruct {
  std::string text;
  std::vector<TranscriptionSegment> segments;
  std::string language;
  TranscriptionTimings timings;
  std::optional<float> seekTime;

  platform::json::Value toJson() const;
  static TranscriptionResultStruct fromJson(const platform::json::Value& json);
  friend bool operator==(const TranscriptionResultStruct&, const TranscriptionResultStruct&) = default;
};

}  // namespace murmel
