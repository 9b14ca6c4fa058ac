#include "Murmel/transcription/TranscriptionUtilities.h"

#include <algorithm>

#include "platform/System/NumberText.h"
#include "platform/Text/Unicode.h"

namespace murmel {
namespace {

// "Well-Known," => "well known"
std::string normalizedWord(const std::string& word) {
  std::string lower = platform::text::lowercased(word);
  std::string out;
  bool pendingBlank = false;
  std::size_t offset = 0;
  while (offset < lower.size()) {
    char32_t c = platform::text::nextScalar(lower, offset);
    if (c == U'-') c = U' ';
    if (platform::text::isPunctuation(c)) continue;
    if (c == U' ') {
      pendingBlank = true;
      continue;
    }
    if (pendingBlank) out += ' ';
    pendingBlank = false;
    platform::text::appendUtf8(out, c);
  }
  if (pendingBlank) out += ' ';
  // Trim white space and line breaks at both ends.
  std::size_t begin = 0, end = out.size();
  while (begin < end) {
    std::size_t at = begin;
    if (!platform::text::isWhitespace(platform::text::nextScalar(out, at))) break;
    begin = at;
  }
  while (end > begin) {
    std::size_t at = end;
    if (!platform::text::isWhitespace(platform::text::previousScalar(out, at))) break;
    end = at;
  }
  return out.substr(begin, end - begin);
}

std::size_t commonPrefixLength(const std::vector<WordTiming>& first, const std::vector<WordTiming>& second) {
  const std::size_t n = std::min(first.size(), second.size());
  std::size_t k = 0;
  while (k < n && normalizedWord(first[k].word) == normalizedWord(second[k].word)) ++k;
  return k;
}

}  // namespace

TranscriptionSegment TranscriptionUtilities::updateSegmentTimings(const TranscriptionSegment& segment, float seekTime) {
  TranscriptionSegment out = segment;
  out.seek += static_cast<std::int64_t>(seekTime * 16000.0f);
  out.start += seekTime;
  out.end += seekTime;
  if (out.words)
    for (auto& w : *out.words) {
      w.start += seekTime;
      w.end += seekTime;
    }
  return out;
}

std::vector<std::string> TranscriptionUtilities::formatSegments(const std::vector<TranscriptionSegment>& segments,
                                                                bool withTimestamps) {
  std::vector<std::string> lines;
  lines.reserve(segments.size());
  for (const auto& s : segments) {
    if (!withTimestamps) {
      lines.push_back(s.text);
      continue;
    }
    lines.push_back(std::string("[")
                        .append(platform::system::fixedText(s.start, 2))
                        .append(" --> ")
                        .append(platform::system::fixedText(s.end, 2))
                        .append("] ")
                        .append(s.text));
  }
  return lines;
}

std::vector<WordTiming> TranscriptionUtilities::findLongestCommonPrefix(const std::vector<WordTiming>& first,
                                                                        const std::vector<WordTiming>& second) {
  const std::size_t k = commonPrefixLength(first, second);
  return {second.begin(), second.begin() + static_cast<std::ptrdiff_t>(k)};
}

std::vector<WordTiming> TranscriptionUtilities::findLongestDifferentSuffix(const std::vector<WordTiming>& first,
                                                                           const std::vector<WordTiming>& second) {
  const std::size_t k = commonPrefixLength(first, second);
  return {second.begin() + static_cast<std::ptrdiff_t>(k), second.end()};
}

TranscriptionResult TranscriptionUtilities::mergeTranscriptionResults(
    const std::vector<std::optional<TranscriptionResult>>& results,
    const std::optional<std::vector<WordTiming>>& confirmedWords) {
  std::string text;
  if (confirmedWords) {
    for (const auto& w : *confirmedWords) text += w.word;
  } else {
    for (std::size_t i = 0; i < results.size(); ++i) {
      if (i > 0) text += ' ';
      if (results[i]) text += results[i]->text();
    }
  }

  std::vector<TranscriptionSegment> segments;
  std::vector<TranscriptionTimings> timings;
  std::optional<std::string> language;
  std::int64_t r = 0;
  for (const auto& result : results) {
    if (!result) continue;
    if (!language) language = result->language();
    std::int64_t s = 0;
    for (auto segment : result->segments()) {
      segment.id = r + s++;
      segments.push_back(std::move(segment));
    }
    timings.push_back(result->timings());
    ++r;
  }

  TranscriptionTimings merged;
  auto smallest = [&](double TranscriptionTimings::*field) {
    double v = 0;
    for (std::size_t i = 0; i < timings.size(); ++i) v = i == 0 ? timings[i].*field : std::min(v, timings[i].*field);
    merged.*field = v;
  };
  auto largest = [&](double TranscriptionTimings::*field) {
    double v = 0;
    for (std::size_t i = 0; i < timings.size(); ++i) v = i == 0 ? timings[i].*field : std::max(v, timings[i].*field);
    merged.*field = v;
  };
  auto sum = [&](double TranscriptionTimings::*field) {
    double v = 0;
    for (const auto& t : timings) v += t.*field;
    merged.*field = v;
  };
  using T = TranscriptionTimings;
  for (auto f : {&T::pipelineStart, &T::firstTokenTime}) smallest(f);
  for (auto f : {&T::modelLoading, &T::prewarmLoadTime, &T::encoderLoadTime, &T::decoderLoadTime, &T::tokenizerLoadTime})
    largest(f);
  merged.encoderSpecializationTime = 0;
  merged.decoderSpecializationTime = 0;
  for (auto f : {&T::inputAudioSeconds, &T::audioLoading, &T::audioProcessing, &T::logmels, &T::encoding, &T::prefill,
                 &T::decodingInit, &T::decodingLoop, &T::decodingPredictions, &T::decodingFiltering,
                 &T::decodingSampling, &T::decodingFallback, &T::decodingWindowing, &T::decodingKvCaching,
                 &T::decodingWordTimestamps, &T::decodingNonPrediction, &T::totalAudioProcessingRuns,
                 &T::totalLogmelRuns, &T::totalEncodingRuns, &T::totalDecodingLoops, &T::totalKVUpdateRuns,
                 &T::totalTimestampAlignmentRuns, &T::totalDecodingFallbacks, &T::totalDecodingWindows})
    sum(f);
  // Results of runs side by side overlap: the pipeline lasts at most from the first start to the last end.
  double total = 0, span = 0;
  if (!timings.empty()) {
    double firstStart = timings[0].pipelineStart, lastEnd = timings[0].pipelineStart + timings[0].fullPipeline;
    for (const auto& t : timings) {
      total += t.fullPipeline;
      firstStart = std::min(firstStart, t.pipelineStart);
      lastEnd = std::max(lastEnd, t.pipelineStart + t.fullPipeline);
    }
    span = lastEnd - firstStart;
  }
  merged.fullPipeline = std::min(total, span);

  return TranscriptionResult(std::move(text), std::move(segments), language.value_or("en"), merged, std::nullopt);
}

}  // namespace murmel
