// Unicode services of the template engine over ICU: grapheme clusters, character classes,
// canonical equivalence. Stateless functions, safe on any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace jinja::detail {

// The text with every ill-formed UTF-8 sequence replaced by U+FFFD.
std::string repairUtf8(std::string_view text);

// Byte offsets of the extended grapheme cluster boundaries of valid UTF-8 text, 0 and size() included.
// "e\u0301x" => {0, 3, 4}; "\r\n" => {0, 2}.
std::vector<std::size_t> graphemeBoundaries(std::string_view text);

// The first code point of non-empty valid UTF-8 text.
char32_t firstCodePoint(std::string_view text);
// Decodes the code point at `offset` and moves `offset` past it.
char32_t nextCodePoint(std::string_view text, std::size_t& offset);

// The offset where the code point ending at `offset` (> 0) starts.
std::size_t previousCodePointStart(std::string_view text, std::size_t offset);

bool isWhitespace(char32_t c);  // White_Space
bool isLetter(char32_t c);      // Alphabetic
bool isNumber(char32_t c);      // any numeric type

std::string toNfc(std::string_view text);
bool canonicallyEqual(std::string_view a, std::string_view b);
// Orders by the code points of the NFC forms.
bool canonicallyLess(std::string_view a, std::string_view b);

// Number of grapheme clusters in valid UTF-8 text.
std::size_t characterCount(std::string_view text);

}  // namespace jinja::detail
