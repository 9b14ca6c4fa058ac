// Text helpers of the runtime: characters (grapheme clusters) of possibly ill-formed UTF-8, and the
// printed form of doubles.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace jinja::detail {

// The characters of a text one after another, without storing them: ill-formed UTF-8 is first
// repaired (read as U+FFFD). Walking counts towards the render's time limit.
//   CharacterWalk walk("e\u0301x");  walk.next(c) => c == "e\u0301", then "x", then false
class CharacterWalk {
 public:
  explicit CharacterWalk(std::string_view text);
  ~CharacterWalk();
  CharacterWalk(const CharacterWalk&) = delete;
  CharacterWalk& operator=(const CharacterWalk&) = delete;

  // The next character into `character`; false past the last.
  bool next(std::string_view& character);
  // The text walked (the repair, for ill-formed UTF-8), and the bytes of it walked so far.
  std::string_view text() const { return text_; }
  std::size_t offset() const { return at_; }

 private:
  struct Segmenter;
  std::string storage_;
  std::string_view text_;
  std::size_t at_ = 0;
  std::unique_ptr<Segmenter> segmenter_;  // null for ASCII text
};

// The character at `index` (negative: from the end), or nullopt outside the text.
std::optional<std::string> characterAt(std::string_view text, std::int64_t index);
// The characters at first, first + by, ... up to, not including, `limit` in the direction of `by`
// (not zero), in that order: "abcde", 4, -1, -2 => "eca"; "abcde", 1, 5, 2 => "bd".
std::string sliceCharacters(std::string_view text, std::int64_t first, std::int64_t limit, std::int64_t by);

// A byte string to search for, in time linear in the text and the needle whatever both hold: longer
// needles by Knuth-Morris-Pratt, short ones by the library's search (at most their length in
// comparisons per byte). Searching counts towards the render's time limit.
//   Substring("ab").findIn("xxab", 0) == 2
class Substring {
 public:
  explicit Substring(std::string_view needle);
  // The first occurrence starting at or after `from`, or npos; an empty needle is found at `from`.
  std::size_t findIn(std::string_view text, std::size_t from) const;
  std::size_t size() const { return needle_.size(); }

  static constexpr std::size_t shortLength = 16;  // longest needle searched by the library

 private:
  std::string_view needle_;
  std::vector<std::uint32_t> fallback_;  // per prefix length - 1: its longest proper border
};

// `text` itself when it is well-formed UTF-8, else its repair (U+FFFD for each bad sequence) made in
// `storage`.
std::string_view wellFormed(std::string_view text, std::string& storage);
// The characters of `text`; ill-formed UTF-8 is first repaired into `storage` (read as U+FFFD).
// More characters than an array may hold is the array size error: for a result made of them.
std::vector<std::string_view> characters(std::string_view text, std::string& storage);
// How many characters `text` has, counted without building them (ill-formed UTF-8 as above).
std::size_t countCharacters(std::string_view text);
// The full Unicode upper- or lower-case mapping of `text` (ill-formed UTF-8 repaired first), made
// in pieces of about 1 MiB split where the mapping needs no context across (white space or a digit
// where there is one), each counted towards the render's time limit; room for the result is
// checked against the string cap and the memory budget before it is built.
//   casedInPieces("Straße", true) == "STRASSE"
std::string casedInPieces(std::string_view text, bool upper);
// Shortest round-trip digits: 2.0, 0.0001, 1e-05, 1.2345678901234568e+17, inf, nan.
std::string formatDouble(double value);
// Text with every non-overlapping occurrence of `old` (not empty) replaced, left to right, at most
// `limit` times (negative: no limit).
std::string replaceForward(std::string_view text, std::string_view old, std::string_view replacement,
                           long long limit);

}  // namespace jinja::detail
