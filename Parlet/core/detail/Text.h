// Unicode string helpers of the dictation core (UTF-8 in, UTF-8 out), on ICU. Pure, thread-safe.
// Invalid UTF-8 is read with U+FFFD in place of each bad sequence.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace parlet::detail {

// Full Unicode lower-casing, locale-independent: "ÀB İ" => "àb i̇".
std::string lowercased(std::string_view text);

// Trims White_Space characters (blanks, tabs, line breaks, NEL, U+2028...) at both ends.
//   " \n hi there \t" => "hi there"
std::string trimmingWhitespaceAndNewlines(std::string_view text);

// Also trims punctuation (general category P*) at both ends: " [Thank you.] " => "Thank you"
std::string trimmingWhitespaceNewlinesAndPunctuation(std::string_view text);

// User-perceived characters (extended grapheme clusters): "e\u0301!" => 2.
std::size_t characterCount(std::string_view text);

}  // namespace parlet::detail
