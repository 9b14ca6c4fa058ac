#include "Murmel/common/EngineUtilities.h"

#include <algorithm>
#include <cmath>

#include "KestrumCore/Extensions.h"
#include "KestrumCore/Logging.h"
#include "Murmel/data/Constants.h"
#include "platform/Text/Unicode.h"

namespace murmel {

using kestrum::Logging;

std::vector<SeekClip> prepareSeekClips(const DecodingOptions& options, std::int64_t contentFrames) {
  std::vector<std::int64_t> indices;
  for (float seconds : options.clipTimestamps) {
    const double samples = std::round(static_cast<double>(seconds) * 16000.0);  // halves away from zero
    if (!std::isfinite(samples) || samples >= 9.2233720368547758e18 || samples < -9.2233720368547758e18) continue;
    indices.push_back(static_cast<std::int64_t>(samples));
  }
  if (indices.empty()) indices.push_back(0);
  if (indices.size() % 2 == 1) indices.push_back(contentFrames);
  std::vector<SeekClip> clips;
  for (std::size_t i = 0; i + 1 < indices.size(); i += 2) clips.push_back({indices[i], indices[i + 1]});
  return clips;
}

std::vector<std::optional<TranscriptionResults>> toOptionalArrays(const std::vector<TranscriptionResultsOrError>& results) {
  std::vector<std::optional<TranscriptionResults>> out;
  out.reserve(results.size());
  for (const auto& result : results) {
    if (const auto* list = std::get_if<TranscriptionResults>(&result)) out.emplace_back(*list);
    else out.emplace_back(std::nullopt);
  }
  return out;
}

bool appendContents(platform::audio::AudioPCMBuffer& receiver, const platform::audio::AudioPCMBuffer& source,
                    std::int64_t startingFrame, std::uint32_t frameCount) {
  if (receiver.format() != source.format()) {
    Logging::debug("Format mismatch");
    return false;
  }
  if (startingFrame < 0 || startingFrame + static_cast<std::int64_t>(frameCount) > source.frameLength()) {
    Logging::error("Insufficient audio in buffer");
    return false;
  }
  const float* from = source.floatChannelData(0);
  float* to = receiver.floatChannelData(0);
  if (!from || !to) {
    Logging::error("Failed to access float channel data");
    return false;
  }
  if (static_cast<std::uint64_t>(receiver.frameLength()) + frameCount > receiver.frameCapacity()) {
    Logging::debug("Insufficient space in buffer, reducing frame count to fit");
    frameCount = receiver.frameCapacity() - receiver.frameLength();
  }
  // Floats per frame; 1 in the working format. Buffers keep channels apart, so channel 0 holds
  // exactly frameLength floats per channel.
  const std::uint32_t n = receiver.format().bytesPerFrame() / 4;
  std::copy_n(from + startingFrame * n, static_cast<std::size_t>(frameCount) * n,
              to + static_cast<std::size_t>(n) * receiver.frameLength());
  receiver.setFrameLength(receiver.frameLength() + frameCount);
  return true;
}

namespace {

// Each malformed UTF-8 sequence becomes U+FFFD.
std::string wellFormed(std::string_view text) {
  std::string out;
  for (;;) {
    const std::size_t bad = platform::text::findInvalidUtf8(text);
    if (bad == std::string_view::npos) return out.append(text);
    out.append(text.substr(0, bad));
    platform::text::appendUtf8(out, U'\uFFFD');
    text.remove_prefix(bad + 1);
  }
}

}  // namespace

std::string normalized(std::string_view text) {
  const std::string lower = platform::text::lowercased(wellFormed(text));
  // "-" becomes a space, punctuation goes, and runs of spaces collapse into one.
  std::string collapsed;
  for (char32_t c : platform::text::scalars(lower)) {
    if (c == U'-') c = U' ';
    else if (platform::text::isPunctuation(c)) continue;
    if (c == U' ' && !collapsed.empty() && collapsed.back() == ' ') continue;
    platform::text::appendUtf8(collapsed, c);
  }
  const auto all = platform::text::scalars(collapsed);
  std::size_t first = 0, last = all.size();
  while (first < last && platform::text::isWhitespace(all[first])) ++first;
  while (last > first && platform::text::isWhitespace(all[last - 1])) --last;
  std::string out;
  for (std::size_t i = first; i < last; ++i) platform::text::appendUtf8(out, all[i]);
  return out;
}

std::string trimmingSpecialTokenCharacters(std::string_view text) {
  const std::string_view set = Constants::specialTokenCharacters;
  const auto first = text.find_first_not_of(set);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(set);
  return std::string(text.substr(first, last - first + 1));
}

bool contains(const std::vector<TranscriptionSegment>& segments, const TranscriptionSegment& segment) {
  return std::any_of(segments.begin(), segments.end(), [&](const auto& s) { return s.start == segment.start; });
}

std::string resolveAbsolutePath(std::string_view path) { return kestrum::FileManager::resolveAbsolutePath(path); }

}  // namespace murmel
