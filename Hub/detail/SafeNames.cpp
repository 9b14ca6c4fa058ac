#include "Hub/detail/SafeNames.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "platform/System/Trimming.h"

namespace hub::detail {

namespace {

// C0 and C1 controls, DEL, and the line and paragraph separators, in UTF-8.
bool hasControlOrLineBreak(std::string_view name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7f) return true;
    auto next = i + 1 < name.size() ? static_cast<unsigned char>(name[i + 1]) : 0;
    if (c == 0xC2 && next >= 0x80 && next <= 0x9F) return true;
    if (c == 0xE2 && next == 0x80 && i + 2 < name.size() &&
        (static_cast<unsigned char>(name[i + 2]) == 0xA8 || static_cast<unsigned char>(name[i + 2]) == 0xA9))
      return true;
  }
  return false;
}

}  // namespace

bool isSafeRelativePath(std::string_view name) {
  if (name.empty() || name.front() == '/') return false;
  if (name.find('\\') != std::string_view::npos || hasControlOrLineBreak(name)) return false;
  // The top-level ".cache" folder holds the client's own metadata, locks and partial files.
  if (name.substr(0, name.find('/')) == ".cache") return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    std::string_view segment = name.substr(start, end - start);
    if (segment.empty() || segment == "." || segment == "..") return false;
    start = end + 1;
  }
  return true;
}

bool isSafeEtag(std::string_view etag) {
  if (etag.size() > 255) return false;
  return std::all_of(etag.begin(), etag.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("-._+=~").find(c) != std::string_view::npos;
  });
}

namespace {

// C0 controls but tab, DEL, C1 controls (U+0085 NEXT LINE among them), U+2028 and U+2029 escaped;
// with `quoting`, also '"' and '\\' and every C0 control, for a quoted text.
std::string escapingControls(std::string_view text, bool quoting) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    const unsigned char third = i + 2 < text.size() ? static_cast<unsigned char>(text[i + 2]) : 0;
    char escaped[8];
    if ((c < 0x20 && (quoting || c != '\t')) || c == 0x7f || (quoting && (c == '"' || c == '\\'))) {
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
    } else if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(next));
      i += 1;
    } else if (c == 0xe2 && next == 0x80 && (third == 0xa8 || third == 0xa9)) {
      std::snprintf(escaped, sizeof escaped, "\\u%04x", 0x2000u + (third - 0x80u));
      i += 2;
    } else {
      out += static_cast<char>(c);
      continue;
    }
    out += escaped;
  }
  return out;
}

}  // namespace

std::string escapedForMessage(std::string_view text) {
  std::string out = "\"";
  out.append(escapingControls(platform::system::shortenedForMessage(text), true)).push_back('"');
  return out;
}

std::string oneLine(std::string_view text) { return escapingControls(text, false); }

}  // namespace hub::detail
