// Small engine helpers: clip timestamps into seek ranges, per-file results into optional lists,
// appending frames between audio buffers, and text and list helpers. All are pure functions of their
// arguments (appendContents changes only the receiver). Nothing here throws except as noted.
//   prepareSeekClips(options with clipTimestamps [1, 2, 3], 80000) => [(16000, 32000), (48000, 80000)]
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Murmel/data/DecodingOptions.h"
#include "Murmel/data/TranscriptionResult.h"
#include "platform/Audio/AudioFormat.h"

namespace murmel {

// A sample span (`end` exclusive, not checked against `start` or the audio).
struct SeekClip {
  std::int64_t start = 0;
  std::int64_t end = 0;
  friend bool operator==(const SeekClip&, const SeekClip&) = default;
};

// clipTimestamps (seconds) as sample indices rounded half away from zero, paired in order; an
// empty list is [0]; an odd list gets `contentFrames` appended. Entries that are not finite or whose
// index does not fit 64 bits are skipped.
std::vector<SeekClip> prepareSeekClips(const DecodingOptions& options, std::int64_t contentFrames);

using TranscriptionResults = std::vector<std::shared_ptr<TranscriptionResult>>;
using TranscriptionResultsOrError = std::variant<TranscriptionResults, std::exception_ptr>;

// Successes become their lists, failures become absent: [ok([r1]), error, ok([])] => [[r1], -, []].
std::vector<std::optional<TranscriptionResults>> toOptionalArrays(const std::vector<TranscriptionResultsOrError>& results);

// Appends `frameCount` frames of `source` from `startingFrame` to `receiver`, channel 0 only,
// shortened to the receiver's free room. False (receiver unchanged, logged) for differing formats,
// a source range past its frame length or a negative start.
bool appendContents(platform::audio::AudioPCMBuffer& receiver, const platform::audio::AudioPCMBuffer& source,
                    std::int64_t startingFrame, std::uint32_t frameCount);

// Lower-cased, "-" as " ", punctuation removed, runs of spaces as one, white space trimmed:
//   "Hello,  World-Wide!" => "hello world wide".  Malformed UTF-8 bytes become U+FFFD first.
std::string normalized(std::string_view text);

// Trims '<', '|' and '>' at both ends: "<|en|>" => "en".
std::string trimmingSpecialTokenCharacters(std::string_view text);

// True when some segment starts exactly where `segment` starts.
bool contains(const std::vector<TranscriptionSegment>& segments, const TranscriptionSegment& segment);

// The path made absolute ("~/x" => "$HOME/x").
std::string resolveAbsolutePath(std::string_view path);

}  // namespace murmel
