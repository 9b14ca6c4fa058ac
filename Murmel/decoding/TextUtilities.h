// The compression ratio of decoded output: raw size over raw-DEFLATE size (zlib's default level, no
// header or checksum). Highly repetitive output has a high ratio. Pure functions, any thread; a
// failure answers +infinity, which every threshold reads as "too high".
//   compressionRatio(std::vector<std::int64_t>(100, 7)) > 2.4f
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace murmel {

struct TextUtilities {
  // Each id as a signed 32-bit value in native byte order: 4 bytes per token.
  static float compressionRatio(const std::vector<std::int64_t>& tokens);
  // UTF-8 bytes of the text; empty text answers +infinity without compressing.
  static float compressionRatio(std::string_view text);
};

inline float compressionRatio(const std::vector<std::int64_t>& tokens) { return TextUtilities::compressionRatio(tokens); }
inline float compressionRatio(std::string_view text) { return TextUtilities::compressionRatio(text); }

}  // namespace murmel
