// The timing and counter fields of one transcription run. Durations in seconds; the `total…`
// fields are counts held as doubles; `pipelineStart` and `firstTokenTime` are absolute seconds on
// one clock of the engine's choice. JSON: the 34 field names in declaration order, all required.
#pragma once

#include <limits>

#include "platform/System/Json.h"

namespace murmel {

struct TranscriptionTimings {
  double pipelineStart = std::numeric_limits<double>::max();
  double firstTokenTime = std::numeric_limits<double>::max();
  double inputAudioSeconds = 0.001;
  double modelLoading = 0;
  double prewarmLoadTime = 0;
  double encoderLoadTime = 0;
  double decoderLoadTime = 0;
  double encoderSpecializationTime = 0;
  double decoderSpecializationTime = 0;
  double tokenizerLoadTime = 0;
  double audioLoading = 0;
  double audioProcessing = 0;
  double logmels = 0;
  double encoding = 0;
  double prefill = 0;
  double decodingInit = 0;
  double decodingLoop = 0;
  double decodingPredictions = 0;
  double decodingFiltering = 0;
  double decodingSampling = 0;
  double decodingFallback = 0;
  double decodingWindowing = 0;
  double decodingKvCaching = 0;
  double decodingWordTimestamps = 0;  // the initialiser's argument is `decodingTimestampAlignment`
  double decodingNonPrediction = 0;
  double totalAudioProcessingRuns = 0;
  double totalLogmelRuns = 0;
  double totalEncodingRuns = 0;
  double totalDecodingLoops = 0;
  double totalKVUpdateRuns = 0;
  double totalTimestampAlignmentRuns = 0;
  double totalDecodingFallbacks = 0;
  double totalDecodingWindows = 0;
  double fullPipeline = 0;

  double tokensPerSecond() const { return totalDecodingLoops / fullPipeline; }
  double realTimeFactor() const { return fullPipeline / inputAudioSeconds; }
  double speedFactor() const { return inputAudioSeconds / fullPipeline; }

  platform::json::Value toJson() const;
  static TranscriptionTimings fromJson(const platform::json::Value& json);

  friend bool operator==(const TranscriptionTimings&, const TranscriptionTimings&) = default;
};

}  // namespace murmel
