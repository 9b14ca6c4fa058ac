#include "platform/System/detail/Utf8.h"

#include <cstdint>
#include <cstring>

namespace platform::json::detail {

std::size_t invalidUtf8Offset(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  auto inRange = [&](std::size_t at, unsigned lo, unsigned hi) { return at < size && bytes[at] >= lo && bytes[at] <= hi; };
  std::size_t i = 0;
  while (i < size) {
    // Eight ASCII bytes at a time.
    if (i + 8 <= size) {
      std::uint64_t word;
      std::memcpy(&word, bytes + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The second byte's range depends on the lead (excluding overlong forms, surrogates and
    // values above U+10FFFF); every later byte is 80..BF.
    std::size_t length = 0;
    unsigned lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    } else {
      return i;
    }
    if (!inRange(i + 1, lo, hi)) return i;
    for (std::size_t k = 2; k < length; ++k)
      if (!inRange(i + k, 0x80, 0xBF)) return i;
    i += length;
  }
  return std::string_view::npos;
}

}  // namespace platform::json::detail
