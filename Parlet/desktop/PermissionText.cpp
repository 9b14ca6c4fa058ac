#include "Parlet/desktop/PermissionText.h"

#include <cctype>

namespace parlet {

std::string keepPathsTogether(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    out.push_back(text[i]);
    const bool next = i + 1 < text.size() && (std::isalnum(static_cast<unsigned char>(text[i + 1])) ||
                                              text[i + 1] == '.' || text[i + 1] == '_' || text[i + 1] == '-');
    if (text[i] == '/' && next) out += "\u2060";
  }
  return out;
}

std::string withoutGrantPointer(std::string_view reason) {
  static constexpr std::string_view pointer = " Choose \"Grant Accessibility\u2026\"";
  const std::size_t at = reason.find(pointer);
  if (at == std::string_view::npos) return std::string(reason);
  // The pointer is a sentence of its own; what follows it ends at its full stop.
  const std::size_t end = reason.find('.', at + pointer.size());
  std::string out(reason.substr(0, at));
  if (end != std::string_view::npos) out += reason.substr(end + 1);
  return out;
}

}  // namespace parlet
