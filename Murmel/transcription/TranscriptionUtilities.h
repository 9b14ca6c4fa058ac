// Operations on finished results: shifting a segment in time, formatting segments as lines, the
// common start of two word lists and merging several results into one. Pure functions: they never
// throw and never change their inputs; results are read field by field under their own locks.
//   formatSegments({segment 1.5 s to 3.25 s, " hi"}, true) => {"[1.50 --> 3.25]  hi"}
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Murmel/data/TranscriptionResult.h"

namespace murmel {

struct TranscriptionUtilities {
  // seek += trunc(seekTime × 16000); start, end and every word's times += seekTime.
  static TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment, float seekTime);
  // "[start --> end] text" (two decimals) with timestamps, the text alone without.
  static std::vector<std::string> formatSegments(const std::vector<TranscriptionSegment>& segments, bool withTimestamps);
  // The words of `second` that begin both lists alike, compared lower-case, "-" as a blank,
  // punctuation removed, blank runs collapsed and ends trimmed: "Hello," equals "hello".
  static std::vector<WordTiming> findLongestCommonPrefix(const std::vector<WordTiming>& first,
                                                         const std::vector<WordTiming>& second);
  // `second` without that common start.
  static std::vector<WordTiming> findLongestDifferentSuffix(const std::vector<WordTiming>& first,
                                                            const std::vector<WordTiming>& second);
  // Texts joined by one blank (an absent result adds an empty text), or the confirmed words joined
  // as they are; segments renumbered r + s; the first language or "en"; timings summed, or the
  // extremes for the start and load times; no seek time.
  static TranscriptionResult mergeTranscriptionResults(const std::vector<std::optional<TranscriptionResult>>& results,
                                                       const std::optional<std::vector<WordTiming>>& confirmedWords = std::nullopt);
};

inline TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment, float seekTime) {
  return TranscriptionUtilities::updateSegmentTimings(segment, seekTime);
}
inline std::vector<std::string> formatSegments(const std::vector<TranscriptionSegment>& segments, bool withTimestamps) {
  return TranscriptionUtilities::formatSegments(segments, withTimestamps);
}
inline std::vector<WordTiming> findLongestCommonPrefix(const std::vector<WordTiming>& first,
                                                       const std::vector<WordTiming>& second) {
  return TranscriptionUtilities::findLongestCommonPrefix(first, second);
}
inline std::vector<WordTiming> findLongestDifferentSuffix(const std::vector<WordTiming>& first,
                                                          const std::vector<WordTiming>& second) {
  return TranscriptionUtilities::findLongestDifferentSuffix(first, second);
}
inline TranscriptionResult mergeTranscriptionResults(const std::vector<std::optional<TranscriptionResult>>& results,
                                                     const std::optional<std::vector<WordTiming>>& confirmedWords = std::nullopt) {
  return TranscriptionUtilities::mergeTranscriptionResults(results, confirmedWords);
}

}  // namespace murmel
