#include "Tokenizers/detail/Text.h"

#include <algorithm>
#include <limits>

#include "platform/Text/Unicode.h"

namespace tokenizers::detail {

namespace text = platform::text;

bool isBelowCombiningMarks(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0xCC) return false;
  return true;
}

namespace {

// Cuts `s` into scalars (UTF-8 sequences by their lead byte); with `keepCrLf`, "\r\n" stays one piece.
std::vector<std::string_view> scalarPieces(std::string_view s, bool keepCrLf) {
  std::vector<std::string_view> out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (keepCrLf && c == '\r' && i + 1 < s.size() && s[i + 1] == '\n') n = 2;
    if (i + n > s.size()) n = s.size() - i;
    out.push_back(s.substr(i, n));
    i += n;
  }
  return out;
}

}  // namespace

std::vector<std::string_view> scalars(std::string_view s) { return scalarPieces(s, false); }

// Below the combining marks every scalar is a grapheme cluster of its own, but for "\r\n".
std::vector<std::string_view> characters(std::string_view s) {
  if (!isBelowCombiningMarks(s)) return text::graphemes(s);
  return scalarPieces(s, true);
}

std::size_t characterCount(std::string_view s) {
  if (!isBelowCombiningMarks(s)) return text::graphemeCount(s);
  std::size_t count = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if ((c & 0xC0) == 0x80) continue;
    if (c == '\n' && i > 0 && s[i - 1] == '\r') continue;
    ++count;
  }
  return count;
}

std::string withoutNonSpacingMarks(std::string_view s) {
  if (std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) return std::string(s);
  const std::string decomposed = text::normalize(s, text::NormalizationForm::nfd);
  std::string kept;
  kept.reserve(decomposed.size());
  std::size_t offset = 0;
  while (offset < decomposed.size()) {
    const std::size_t begin = offset;
    if (text::generalCategory(text::nextScalar(decomposed, offset)) != text::GeneralCategory::Mn)
      kept.append(decomposed, begin, offset - begin);
  }
  return kept;
}

std::string canonicalKey(std::string_view s) {
  if (isBelowCombiningMarks(s)) return std::string(s);
  return text::normalize(s, text::NormalizationForm::nfc);
}

std::string replaceAll(std::string_view s, std::string_view target, std::string_view replacement) {
  return *replaceAll(s, target, replacement, std::numeric_limits<std::size_t>::max());
}

std::optional<std::string> replaceAll(std::string_view s, std::string_view target, std::string_view replacement,
                                      std::size_t maxBytes) {
  if (s.size() > maxBytes && replacement.size() >= target.size()) return std::nullopt;
  if (target.empty()) return std::string(s);
  std::string out;
  out.reserve(std::min(s.size(), maxBytes));
  std::size_t start = 0;
  while (true) {
    std::size_t found = s.find(target, start);
    if (found == std::string_view::npos) break;
    out.append(s.substr(start, found - start));
    out.append(replacement);
    if (out.size() > maxBytes) return std::nullopt;
    start = found + target.size();
  }
  out.append(s.substr(start));
  if (out.size() > maxBytes) return std::nullopt;
  return out;
}

char32_t firstScalar(std::string_view s) {
  std::size_t offset = 0;
  return text::nextScalar(s, offset);
}

}  // namespace tokenizers::detail
