// Unicode text services over ICU for UTF-8 strings: validation and UTF-16 conversion, normalization
// forms, grapheme clusters (user-perceived characters, UAX #29), canonical equivalence, case mapping
// and character properties. Offsets are UTF-8 byte offsets unless a name says otherwise.
// Functions that take UTF-8 throw InvalidUtf8Error on malformed input, except findInvalidUtf8 and
// repairUtf8, which accept any bytes, and the scalar steppers, which expect well-formed text. Thread-safe.
//   graphemes("e\u0301x") == {"e\u0301", "x"};  canonicallyEquivalent("\u00e9", "e\u0301") == true
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform::text {

// Malformed UTF-8; `offset` is the byte position of the first bad sequence.
class InvalidUtf8Error : public std::invalid_argument {
 public:
  explicit InvalidUtf8Error(std::size_t offset);
  std::size_t offset;
};

// ---- Encoding --------------------------------------------------------------------------------

// Position of the first malformed sequence (overlong forms, surrogates and values above U+10FFFF
// are malformed), or npos when the whole text is well-formed.
std::size_t findInvalidUtf8(std::string_view text);
inline bool isValidUtf8(std::string_view text) { return findInvalidUtf8(text) == std::string_view::npos; }
void requireValidUtf8(std::string_view text);

std::u16string toUtf16(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string toUtf8(std::u16string_view utf16);
// WTF-8: like toUtf8, but unpaired surrogates are kept, encoded like any other BMP unit:
// {0xD800, u'x'} => "\xED\xA0\x80x".
std::string toWtf8(std::u16string_view utf16);
// The inverse of toWtf8; expects text that is well-formed but for encoded surrogates (not checked).
std::u16string fromWtf8(std::string_view wtf8);

void appendUtf8(std::string& out, char32_t scalar);
// The scalars of a well-formed text, in order.
std::vector<char32_t> scalars(std::string_view utf8);
// Decodes the scalar at `offset` of a well-formed text and advances `offset` past it.
char32_t nextScalar(std::string_view utf8, std::size_t& offset);
// Decodes the scalar that ends at `offset` (> 0) of a well-formed text and moves `offset` to its start.
char32_t previousScalar(std::string_view utf8, std::size_t& offset);
// The text with each maximal ill-formed subsequence replaced by one U+FFFD, as Unicode recommends:
// "a\xFF\xE2\x82b" => "a\uFFFD\uFFFDb". Well-formed text comes back unchanged.
std::string repairUtf8(std::string_view text);

// ---- Normalization and equivalence -----------------------------------------------------------

enum class NormalizationForm { nfc, nfd, nfkc, nfkd };

std::string normalize(std::string_view text, NormalizationForm form);
// Whether normalize(text, form) == text, without building the normal form.
bool isNormalized(std::string_view text, NormalizationForm form);

// Canonical equivalence: equal NFC forms ("\u00e9" and "e\u0301" are equivalent).
bool canonicallyEquivalent(std::string_view a, std::string_view b);
// A hash that agrees with canonicallyEquivalent.
std::size_t canonicalHash(std::string_view text);
// Orders texts by the scalar values of their NFC forms; negative, zero or positive.
int canonicalCompare(std::string_view a, std::string_view b);

// Hashing and equality functors for unordered containers keyed by canonical equivalence.
struct CanonicalHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return canonicalHash(text); }
};
struct CanonicalEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return canonicallyEquivalent(a, b); }
};

// ---- Case ------------------------------------------------------------------------------------

// Full Unicode case mappings, independent of locale ("Straße" upper-cases to "STRASSE").
std::string lowercased(std::string_view text);
std::string uppercased(std::string_view text);
// First letter of every word upper-case (title-case), the rest lower-case: "hello wORLD" => "Hello World".
std::string capitalized(std::string_view text);
// Removes diacritical marks, keeping base letters and case: "Crème Brûlée" => "Creme Brulee".
std::string removingDiacritics(std::string_view text);

// ---- Grapheme clusters -----------------------------------------------------------------------

// Byte offsets of every grapheme-cluster boundary, 0 and text.size() included (just {0} when empty).
std::vector<std::size_t> graphemeBoundaries(std::string_view text);
std::vector<std::string_view> graphemes(std::string_view text);
std::size_t graphemeCount(std::string_view text);

// ---- Character properties --------------------------------------------------------------------

// Unicode general categories, in the order ICU numbers them.
enum class GeneralCategory : std::uint8_t {
  Cn, Lu, Ll, Lt, Lm, Lo, Mn, Me, Mc, Nd, Nl, No, Zs, Zl, Zp, Cc, Cf, Co, Cs,
  Pd, Ps, Pe, Pc, Po, Sm, Sc, Sk, So, Pi, Pf
};
GeneralCategory generalCategory(char32_t scalar);

bool isWhitespace(char32_t scalar);   // the White_Space property
bool isAlphabetic(char32_t scalar);   // the Alphabetic property
bool isLetter(char32_t scalar);       // general category L*
bool isNumeric(char32_t scalar);      // any numeric type (decimal, digit or numeric)
bool isDecimalDigit(char32_t scalar); // general category Nd
bool isPunctuation(char32_t scalar);  // general category P*
bool isMark(char32_t scalar);         // general category M*
bool isControl(char32_t scalar);      // general category Cc
bool isUppercase(char32_t scalar);    // Lu or Lt

}  // namespace platform::text
