#include "Murmel/transcription/SegmentSeeker.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "KestrumCore/Extensions.h"
#include "Murmel/common/EngineLogging.h"
#include "Murmel/common/WhisperError.h"
#include "platform/Text/Unicode.h"

namespace murmel {
namespace {

using platform::ml::MLMultiArray;
constexpr float kSecondsPerTimeToken = 0.02f;

std::vector<std::int64_t> belowSpecial(const std::vector<std::int64_t>& tokens, std::int64_t specialTokenBegin) {
  std::vector<std::int64_t> out;
  for (auto t : tokens)
    if (t < specialTokenBegin) out.push_back(t);
  return out;
}

std::string decodeRun(const std::vector<std::int64_t>& run, const DecodingOptions& options, const WhisperTokenizer& tokenizer) {
  return tokenizer.decode(options.skipSpecialTokens ? belowSpecial(run, tokenizer.specialTokens().specialTokenBegin) : run);
}

// Spaces and tabs, not line breaks.
bool isBlank(char32_t c) { return c == U'\t' || platform::text::generalCategory(c) == platform::text::GeneralCategory::Zs; }

std::string trimBlanks(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end) {
    std::size_t at = begin;
    if (!isBlank(platform::text::nextScalar(text, at))) break;
    begin = at;
  }
  while (end > begin) {
    std::size_t at = end;
    if (!isBlank(platform::text::previousScalar(text, at))) break;
    end = at;
  }
  return text.substr(begin, end - begin);
}

bool startsWithBlank(const std::string& text) {
  if (text.empty()) return false;
  std::size_t at = 0;
  return isBlank(platform::text::nextScalar(text, at));
}

bool containedIn(const std::string& needle, const std::string& haystack) { return haystack.find(needle) != std::string::npos; }

bool isSentenceEnd(const std::string& word) {
  static const char* const marks[] = {".", "\u3002", "!", "\uFF01", "?", "\uFF1F"};
  for (const char* mark : marks)
    if (word == mark) return true;
  return false;
}

WordTiming joined(const WordTiming& a, const WordTiming& b, const WordTiming& times) {
  WordTiming out = times;
  out.word = a.word + b.word;
  out.tokens = a.tokens;
  out.tokens.insert(out.tokens.end(), b.tokens.begin(), b.tokens.end());
  return out;
}

float round2(float value) { return kestrum::rounded(value, 2); }

}  // namespace

// ---- segments from timestamps -------------------------------------------------------------------

std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>> SegmentSeeker::findSeekPointAndSegments(
    const DecodingResult& result, const DecodingOptions& options, std::int64_t allSegmentsCount, std::int64_t currentSeek,
    std::int64_t segmentSize, std::int64_t sampleRate, std::int64_t timeToken, std::int64_t /*specialToken*/,
    const WhisperTokenizer& tokenizer) {
  if (options.noSpeechThreshold && result.noSpeechProb > *options.noSpeechThreshold &&
      (!options.logProbThreshold || result.avgLogProb <= *options.logProbThreshold))
    return {currentSeek + segmentSize, std::nullopt};

  const auto& tokens = result.tokens;
  const std::size_t n = tokens.size();
  const float timeOffset = static_cast<float>(currentSeek) / static_cast<float>(sampleRate);
  std::vector<bool> isTimestamp(n);
  for (std::size_t i = 0; i < n; ++i) isTimestamp[i] = tokens[i] >= timeToken;
  const bool singleTimestampEnding = n >= 3 && !isTimestamp[n - 3] && isTimestamp[n - 2] && !isTimestamp[n - 1];
  const bool noTimestampEnding = n >= 3 && !isTimestamp[n - 3] && !isTimestamp[n - 2] && !isTimestamp[n - 1];

  std::vector<std::size_t> slices;
  for (std::size_t i = 1; i < n; ++i)
    if (isTimestamp[i - 1] && isTimestamp[i]) slices.push_back(i);

  auto makeSegment = [&](std::int64_t id, float start, float end, std::size_t from, std::size_t to) {
    TranscriptionSegment s;
    s.id = id;
    s.seek = currentSeek;
    s.start = start;
    s.end = end;
    s.tokens.assign(tokens.begin() + static_cast<std::ptrdiff_t>(from), tokens.begin() + static_cast<std::ptrdiff_t>(to));
    const std::size_t probsTo = std::min(to, result.tokenLogProbs.size());
    if (from < probsTo)
      s.tokenLogProbs.assign(result.tokenLogProbs.begin() + static_cast<std::ptrdiff_t>(from),
                             result.tokenLogProbs.begin() + static_cast<std::ptrdiff_t>(probsTo));
    s.text = decodeRun(s.tokens, options, tokenizer);
    s.temperature = result.temperature;
    s.avgLogprob = result.avgLogProb;
    s.compressionRatio = result.compressionRatio;
    s.noSpeechProb = result.noSpeechProb;
    return s;
  };

  if (slices.empty()) {
    std::optional<std::int64_t> lastTimestamp;
    for (auto t : tokens)
      if (t > timeToken) lastTimestamp = t;
    const float duration = lastTimestamp ? static_cast<float>(*lastTimestamp - timeToken) * kSecondsPerTimeToken
                                         : static_cast<float>(segmentSize) / static_cast<float>(sampleRate);
    return {currentSeek + segmentSize,
            std::vector<TranscriptionSegment>{makeSegment(allSegmentsCount, timeOffset, timeOffset + duration, 0, n)}};
  }

  if (singleTimestampEnding)
    slices.push_back(n - 1);
  else if (noTimestampEnding)
    slices.push_back(n);

  std::vector<TranscriptionSegment> segments;
  std::size_t lastSliceStart = 0;
  for (std::size_t end : slices) {
    std::int64_t startPos = 0, endPos = 0;
    bool seen = false;
    for (std::size_t i = lastSliceStart; i < end; ++i)
      if (isTimestamp[i]) {
        if (!seen) startPos = tokens[i] - timeToken;
        endPos = tokens[i] - timeToken;
        seen = true;
      }
    segments.push_back(makeSegment(allSegmentsCount + static_cast<std::int64_t>(segments.size()),
                                   timeOffset + static_cast<float>(startPos) * kSecondsPerTimeToken,
                                   timeOffset + static_cast<float>(endPos) * kSecondsPerTimeToken, lastSliceStart, end));
    lastSliceStart = end;
  }

  std::int64_t newSeek = currentSeek + segmentSize;
  if (!noTimestampEnding) {
    const std::size_t k = singleTimestampEnding ? lastSliceStart - 1 : lastSliceStart;
    const std::int64_t lastTimestampPosition = tokens[k] - timeToken;
    newSeek = currentSeek + static_cast<std::int64_t>(static_cast<float>(lastTimestampPosition) * kSecondsPerTimeToken *
                                                      static_cast<float>(sampleRate));
  }
  // [SOT, <|0.00|>, <|0.00|>, EOT] ends where it began: decoding the same window again would give
  // the same tokens, so the window is used up instead.
  if (newSeek <= currentSeek) newSeek = currentSeek + segmentSize;
  return {newSeek, std::move(segments)};
}

// ---- word timing --------------------------------------------------------------------------------

SegmentSeeker::Alignment SegmentSeeker::dynamicTimeWarping(const MLMultiArray& x) {
  if (x.shape().size() != 2 || x.shape()[0] < 0 || x.shape()[1] < 0)
    throw WhisperError::segmentingFailed("Invalid alignment matrix shape");
  const std::int64_t N = x.shape()[0], M = x.shape()[1];
  const std::size_t width = static_cast<std::size_t>(M + 1);
  std::vector<double> cost(static_cast<std::size_t>((N + 1) * (M + 1)), std::numeric_limits<double>::infinity());
  std::vector<std::int64_t> trace(cost.size(), -1);
  auto at = [&](std::int64_t i, std::int64_t j) { return static_cast<std::size_t>(i) * width + static_cast<std::size_t>(j); };
  cost[0] = 0;
  for (std::int64_t j = 1; j <= M; ++j) trace[at(0, j)] = 2;
  for (std::int64_t i = 1; i <= N; ++i) trace[at(i, 0)] = 1;
  for (std::int64_t i = 1; i <= N; ++i)
    for (std::int64_t j = 1; j <= M; ++j) {
      const double v = x[(i - 1) * M + (j - 1)];
      const double c0 = cost[at(i - 1, j - 1)] - v, c1 = cost[at(i - 1, j)] - v, c2 = cost[at(i, j - 1)] - v;
      if (c0 < c1 && c0 < c2) {
        cost[at(i, j)] = c0;
        trace[at(i, j)] = 0;
      } else if (c1 < c0 && c1 < c2) {
        cost[at(i, j)] = c1;
        trace[at(i, j)] = 1;
      } else {
        cost[at(i, j)] = c2;
        trace[at(i, j)] = 2;
      }
    }
  Alignment path;
  std::int64_t i = N, j = M;
  while (i > 0 || j > 0) {
    path.textIndices.push_back(i - 1);
    path.timeIndices.push_back(j - 1);
    switch (trace[at(i, j)]) {
      case 0: --i; --j; break;
      case 1: --i; break;
      default: --j; break;
    }
  }
  std::reverse(path.textIndices.begin(), path.textIndices.end());
  std::reverse(path.timeIndices.begin(), path.timeIndices.end());
  return path;
}

std::vector<WordTiming> SegmentSeeker::findAlignment(const std::vector<std::int64_t>& wordTokenIds,
                                                     const MLMultiArray& alignmentWeights,
                                                     const std::vector<float>& tokenLogProbs,
                                                     const WhisperTokenizer& tokenizer) {
  const auto path = dynamicTimeWarping(alignmentWeights);
  const auto split = tokenizer.splitToWordTokens(wordTokenIds);
  if (split.words.size() < 2) return {};
  std::vector<float> startTimes{0.0f}, endTimes;
  for (std::size_t p = 1; p < path.textIndices.size(); ++p)
    if (path.textIndices[p] != path.textIndices[p - 1]) {
      const float t = static_cast<float>(path.timeIndices[p]) * kSecondsPerTimeToken;
      startTimes.push_back(t);
      endTimes.push_back(t);
    }
  endTimes.push_back(static_cast<float>(path.timeIndices.empty() ? 1500 : path.timeIndices.back()) * kSecondsPerTimeToken);

  std::vector<WordTiming> out;
  std::size_t pos = 0;
  for (std::size_t k = 0; k < split.words.size(); ++k) {
    const std::size_t n = split.wordTokens[k].size();
    if (n == 0) continue;
    if (pos + n > startTimes.size() || pos + n > endTimes.size() || pos + n > tokenLogProbs.size())
      throw WhisperError::segmentingFailed("Word tokens do not match the alignment rows");
    double sum = 0;
    for (std::size_t q = pos; q < pos + n; ++q) sum += tokenLogProbs[q];
    out.push_back({split.words[k], split.wordTokens[k], startTimes[pos], endTimes[pos + n - 1],
                   static_cast<float>(std::exp(sum / static_cast<double>(n)))});
    pos += n;
  }
  return out;
}

std::pair<float, float> SegmentSeeker::calculateWordDurationConstraints(const std::vector<WordTiming>& alignment) {
  std::vector<float> durations;
  for (const auto& w : alignment)
    if (w.end - w.start > 0) durations.push_back(w.end - w.start);
  float median = 0;
  if (!durations.empty()) {
    std::sort(durations.begin(), durations.end());
    median = durations[durations.size() / 2];
  }
  median = std::min(median, 0.7f);
  return {median, median * 2};
}

std::vector<WordTiming> SegmentSeeker::truncateLongWordsAtSentenceBoundaries(std::vector<WordTiming> alignment,
                                                                             float maxDuration) {
  for (std::size_t i = 1; i < alignment.size(); ++i) {
    if (alignment[i].end - alignment[i].start <= maxDuration) continue;
    if (isSentenceEnd(alignment[i].word))
      alignment[i].end = alignment[i].start + maxDuration;
    else if (isSentenceEnd(alignment[i - 1].word))
      alignment[i].start = alignment[i].end - maxDuration;
  }
  return alignment;
}

std::vector<WordTiming> SegmentSeeker::mergePunctuations(const std::vector<WordTiming>& alignment,
                                                         const std::string& prepended, const std::string& appended) {
  // Leading punctuation: [" (", " Hi"] => [" ( Hi"] with the word's times. A chain of marks keeps
  // joining the same entry; a first mark without a blank counts as leading too.
  std::vector<WordTiming> out;
  bool joinNext = false;
  for (std::size_t i = 0; i < alignment.size(); ++i) {
    const auto& cur = alignment[i];
    if (joinNext)
      out.back() = joined(out.back(), cur, cur);
    else
      out.push_back(cur);
    const bool leading = containedIn(trimBlanks(cur.word), prepended);
    joinNext = leading && (i == 0 || joinNext || startsWithBlank(cur.word));
  }
  // Trailing punctuation: [" Hi", ","] => [" Hi,"] with the word's times; chains accumulate.
  std::vector<WordTiming> final;
  for (const auto& b : out) {
    if (!final.empty() && (final.back().word.empty() || final.back().word.back() != ' ') &&
        containedIn(trimBlanks(b.word), appended))
      final.back() = joined(final.back(), b, final.back());
    else
      final.push_back(b);
  }
  return final;
}

std::vector<TranscriptionSegment> SegmentSeeker::updateSegmentsWithWordTimings(
    std::vector<TranscriptionSegment> segments, const std::vector<WordTiming>& mergedAlignment, std::int64_t seek,
    float lastSpeechTimestamp, float median, float maxDuration, const WhisperTokenizer& tokenizer) {
  const float timeOffset = static_cast<float>(seek) / 16000.0f;
  const std::int64_t specialBegin = tokenizer.specialTokens().specialTokenBegin;
  float last = lastSpeechTimestamp;
  std::size_t wordIndex = 0;
  std::vector<TranscriptionSegment> out;
  for (auto& s : segments) {
    const auto textTokens = belowSpecial(s.tokens, specialBegin);
    std::size_t saved = 0;
    std::vector<WordTiming> words;
    while (wordIndex < mergedAlignment.size() && saved < textTokens.size()) {
      const auto& timing = mergedAlignment[wordIndex++];
      const auto kept = belowSpecial(timing.tokens, specialBegin);
      if (kept.empty()) continue;
      WordTiming w;
      w.word = kept.size() == timing.tokens.size() ? timing.word : tokenizer.decode(kept);
      w.tokens = kept;
      w.start = round2(timeOffset + timing.start);
      w.end = round2(timeOffset + timing.end);
      if (w.end - w.start < median * 0.25f) {
        std::optional<float> previousEnd;
        if (!words.empty())
          previousEnd = words.back().end;
        else if (!out.empty())
          previousEnd = out.back().end;
        if (previousEnd && *previousEnd < w.start) w.start = round2(w.start - std::min(median * 0.5f, w.start - *previousEnd));
      }
      w.probability = round2(timing.probability);
      saved += kept.size();
      words.push_back(std::move(w));
    }
    if (!words.empty()) {
      auto& w0 = words[0];
      if (w0.end - last > median * 4 &&
          (w0.end - w0.start > maxDuration || (words.size() >= 2 && words[1].end - w0.start > maxDuration * 2))) {
        if (words.size() >= 2 && words[1].end - words[1].start > maxDuration) {
          const float boundary = std::max(words[1].end * 0.5f, words[1].end - maxDuration);
          w0.end = words[1].start = boundary;
        }
        w0.start = std::max(w0.end - maxDuration, last);
      }
      if (s.start < w0.end && s.start - 0.5f > w0.start)
        w0.start = std::max(0.0f, std::min(w0.end - median, s.start));
      else
        s.start = w0.start;
      auto& wl = words.back();
      if (s.end > wl.start && s.end + 0.5f < wl.end)
        wl.end = std::max(wl.start + median, s.end);
      else
        s.end = wl.end;
      last = s.end;
    }
    s.words = std::move(words);
    out.push_back(std::move(s));
  }
  return out;
}

std::optional<std::vector<TranscriptionSegment>> SegmentSeeker::addWordTimestamps(
    const std::vector<TranscriptionSegment>& segments, const MLMultiArray& alignmentWeights,
    const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t /*segmentSize*/,
    const std::string& prependPunctuations, const std::string& appendPunctuations, float lastSpeechTimestamp,
    const DecodingOptions& /*options*/, const TranscriptionTimings& /*timings*/, std::int64_t alignmentRowOffset) {
  std::vector<std::int64_t> wordTokenIds, indices;
  std::vector<float> tokenLogProbs;
  std::int64_t position = 0;
  for (const auto& s : segments)
    for (std::size_t i = 0; i < s.tokens.size(); ++i, ++position) {
      wordTokenIds.push_back(s.tokens[i]);
      indices.push_back(position);
      if (i < s.tokenLogProbs.size())
        if (auto it = s.tokenLogProbs[i].find(s.tokens[i]); it != s.tokenLogProbs[i].end()) tokenLogProbs.push_back(it->second);
    }
  const auto& shape = alignmentWeights.shape();
  if (shape.size() != 2) throw WhisperError::segmentingFailed("Invalid shape in alignmentWeights");
  const std::int64_t rows = shape[0], frames = shape[1];
  if (alignmentRowOffset < 0 || alignmentRowOffset + position > rows)
    throw WhisperError::segmentingFailed("alignmentWeights has " + std::to_string(rows) + " rows, the segments need " +
                                         std::to_string(alignmentRowOffset + position));

  auto weights = MLMultiArray::make({static_cast<std::int64_t>(indices.size()), frames}, alignmentWeights.dataType());
  const std::size_t rowBytes = static_cast<std::size_t>(frames) * platform::ml::elementSize(alignmentWeights.dataType());
  auto* target = static_cast<unsigned char*>(weights->dataPointer());
  const auto* source = static_cast<const unsigned char*>(alignmentWeights.dataPointer());
  for (std::size_t k = 0; k < indices.size(); ++k)
    std::memcpy(target + k * rowBytes, source + static_cast<std::size_t>(indices[k] + alignmentRowOffset) * rowBytes, rowBytes);
  Logging::debug("Alignment weights shape: [" + std::to_string(indices.size()) + ", " + std::to_string(frames) + "]");

  const auto alignment = findAlignment(wordTokenIds, *weights, tokenLogProbs, tokenizer);
  const auto [median, maxDuration] = calculateWordDurationConstraints(alignment);
  auto merged = truncateLongWordsAtSentenceBoundaries(alignment, maxDuration);
  if (!merged.empty()) merged = mergePunctuations(merged, prependPunctuations, appendPunctuations);
  return updateSegmentsWithWordTimings(segments, merged, seek, lastSpeechTimestamp, median, maxDuration, tokenizer);
}

}  // namespace murmel
