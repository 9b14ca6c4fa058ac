#include "Hub/detail/SafeNames.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace hub::detail {

bool isSafeRelativePath(std::string_view name) {
  if (name.empty() || name.front() == '/') return false;
  if (name.find('\\') != std::string_view::npos || name.find('\0') != std::string_view::npos) return false;
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

std::string escapedForMessage(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace hub::detail
