// The texts the transcription task's log lines show of its prompt, seek clips, temperatures and
// word times, and whether debug lines are let through at all (so that costly ones are not built).
// Pure functions of their arguments and the library log level; thread-safe; never throw (but
// std::bad_alloc).
//   describeTemperatures({0.0, 0.2, 0.4}) == "[0.0, 0.2, 0.4]"
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Murmel/common/EngineUtilities.h"
#include "Murmel/decoding/WhisperTokenizer.h"
#include "platform/ML/MLMultiArray.h"

namespace murmel::detail {

// The library log level lets debug lines through.
bool debugLogging();

// The prompt's tokens as a list of quoted texts, quotes, backslashes and control characters
// escaped: [50258, 50259] => ["<|startoftranscript|>", "<|en|>"]; an id without a token shows as "".
std::string describePrompt(const std::vector<std::int64_t>& prompt, const WhisperTokenizer& tokenizer);

// [(start: 0, end: 720000)]
std::string describeClips(const std::vector<SeekClip>& clips);

// The shortest decimal that reads back as the same half: 0.199951171875 => "0.2".
std::string describeHalf(platform::ml::Float16 value);

// [0.0, 0.2, 0.4]
std::string describeTemperatures(const std::vector<platform::ml::Float16>& temperatures);

// Exactly three significant digits with the user's decimal mark and grouping: 1.5 => "1.50",
// 12.345 => "12.3", 1234.5 => "1,230" (in an English locale).
std::string threeSignificantDigits(float value);

}  // namespace murmel::detail
