#include "platform/System/Trimming.h"

namespace platform::system {

std::string_view trimmingWhitespace(std::string_view text) {
  constexpr std::string_view whitespace = " \t\n\r\v\f";
  auto first = text.find_first_not_of(whitespace);
  if (first == std::string_view::npos) return {};
  auto last = text.find_last_not_of(whitespace);
  return text.substr(first, last - first + 1);
}

}  // namespace platform::system
