// Text helpers of the runtime: characters (grapheme clusters) of possibly ill-formed UTF-8, and the
// printed form of doubles.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace jinja::detail {

// `text` itself when it is well-formed UTF-8, else its repair (U+FFFD for each bad sequence) made in
// `storage`.
std::string_view wellFormed(std::string_view text, std::string& storage);
// The characters of `text`; ill-formed UTF-8 is first repaired into `storage` (read as U+FFFD).
// More characters than an array may hold is the array size error.
std::vector<std::string_view> characters(std::string_view text, std::string& storage);
// How many characters `text` has, counted without building them (ill-formed UTF-8 as above).
std::size_t countCharacters(std::string_view text);
// Shortest round-trip digits: 2.0, 0.0001, 1e-05, 1.2345678901234568e+17, inf, nan.
std::string formatDouble(double value);
// Text with every non-overlapping occurrence of `old` (not empty) replaced, left to right, at most
// `limit` times (negative: no limit).
std::string replaceForward(std::string_view text, std::string_view old, std::string_view replacement,
                           long long limit);

}  // namespace jinja::detail
