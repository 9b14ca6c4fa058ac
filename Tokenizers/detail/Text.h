// Text helpers shared by the tokenizer stages: scalars, user-perceived characters and canonical keys with
// fast paths for text below U+0300, where every scalar is its own character (CR LF aside) and
// every text is already in Normalization Form C. Inputs must be well-formed UTF-8.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tokenizers::detail {

// Hash maps keyed by text that are looked up by string_view without a copy.
struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
template <class V>
using StringMap = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;

// True when every scalar of the text is below U+0300 (no byte of 0xCC or above).
bool isBelowCombiningMarks(std::string_view text);

// The Unicode scalar values of the text, each as a view of its UTF-8 bytes: the characters of the
// vocabulary models, whose files list code points.
std::vector<std::string_view> scalars(std::string_view text);

// The extended grapheme clusters of the text, as views into it.
std::vector<std::string_view> characters(std::string_view text);
std::size_t characterCount(std::string_view text);

// The text in Normalization Form D without its non-spacing marks (Mn), left decomposed, as the
// vocabularies of accent-folding models were built: "Café" => "Cafe", "한" => "\u1112\u1161\u11AB".
std::string withoutNonSpacingMarks(std::string_view text);

// A key equal for canonically equivalent texts (their NFC form).
std::string canonicalKey(std::string_view text);

// Every occurrence of `target` replaced, searching left to right without overlaps (exact bytes).
std::string replaceAll(std::string_view text, std::string_view target, std::string_view replacement);
// The same, or nothing once the result would be longer than maxBytes.
std::optional<std::string> replaceAll(std::string_view text, std::string_view target, std::string_view replacement,
                                      std::size_t maxBytes);

// Whether the scalar is ASCII punctuation: U+0021-U+002F, U+003A-U+0040, U+005B-U+0060, U+007B-U+007E.
inline bool isAsciiPunctuation(char32_t c) {
  return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
}

// The ideograph ranges of the BERT Chinese-character rule.
inline bool isChineseIdeograph(char32_t c) {
  return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x20000 && c <= 0x2A6DF) ||
         (c >= 0x2A700 && c <= 0x2CEAF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x2F800 && c <= 0x2FA1F);
}

// The first scalar of a non-empty well-formed text.
char32_t firstScalar(std::string_view text);

}  // namespace tokenizers::detail
