#include "platform/System/Trimming.h"

namespace platform::system {

std::string_view trimmingWhitespace(std::string_view text) {
  constexpr std::string_view whitespace = " \t\n\r\v\f";
  auto first = text.find_first_not_of(whitespace);
  if (first == std::string_view::npos) return {};
  auto last = text.find_last_not_of(whitespace);
  return text.substr(first, last - first + 1);
}

std::string shortenedForMessage(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return std::string(text);
  std::size_t cut = maxBytes;
  // Back over continuation bytes (10xxxxxx) to the lead byte, which is cut off with its sequence.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  std::string out(text.substr(0, cut));
  out += "\xE2\x80\xA6";
  return out;
}

}  // namespace platform::system
