// Texts told apart by their exact code units: no Unicode normalization in equality, order or hash,
// so "\u00e9" and "e\u0301" are different keys. The key type of Config dictionaries and of
// tokenizer vocabularies. Held as UTF-8 (unpaired surrogates from a UTF-16 source in their 3-byte
// form), so that UTF-8 lookups need no conversion; the order is that of the UTF-16 code units.
// Constructing from malformed UTF-8 throws platform::text::InvalidUtf8Error. Immutable values.
//   BinaryDistinctString("e\u0301") < BinaryDistinctString("\u00e9")   // 0x65 before 0xE9
#pragma once

#include <compare>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace hub {

class BinaryDistinctString;

// One user-perceived character (grapheme cluster), compared by its code units.
class BinaryDistinctCharacter {
 public:
  BinaryDistinctCharacter(std::string_view utf8);  // NOLINT: implicit, like a literal
  BinaryDistinctCharacter(const char* utf8) : BinaryDistinctCharacter(std::string_view(utf8)) {}
  explicit BinaryDistinctCharacter(std::u16string_view units);

  std::u16string bytes() const;  // the UTF-16 code units
  const std::string& utf8() const { return utf8_; }
  std::string string() const;
  // BinaryDistinctCharacter('A', bytes: ["0x41"])
  std::string description() const;

  friend bool operator==(const BinaryDistinctCharacter&, const BinaryDistinctCharacter&) = default;
  struct Hash {
    std::size_t operator()(const BinaryDistinctCharacter& c) const { return std::hash<std::string>{}(c.utf8_); }
  };

 private:
  friend class BinaryDistinctString;
  struct Trusted {};
  BinaryDistinctCharacter(Trusted, std::string utf8) : utf8_(std::move(utf8)) {}
  std::string utf8_;
};

class BinaryDistinctString {
 public:
  BinaryDistinctString() = default;
  BinaryDistinctString(std::string_view utf8);  // NOLINT: implicit, so that texts serve as keys
  BinaryDistinctString(const std::string& utf8) : BinaryDistinctString(std::string_view(utf8)) {}
  BinaryDistinctString(const char* utf8) : BinaryDistinctString(std::string_view(utf8)) {}
  // The code units as given, unchecked: unpaired surrogates are kept.
  explicit BinaryDistinctString(std::u16string_view units);
  explicit BinaryDistinctString(const BinaryDistinctCharacter& character) : utf8_(character.utf8_) {}
  explicit BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters);

  // For readers that have already checked the text (the JSON reader): no second validation.
  static BinaryDistinctString fromValidUtf8(std::string utf8);

  std::u16string value() const;  // the UTF-16 code units
  // The stored form: UTF-8, identical to string() unless built from unpaired surrogates.
  const std::string& utf8() const { return utf8_; }
  // The text, unpaired surrogates as U+FFFD.
  std::string string() const;
  std::string description() const { return string(); }

  bool empty() const { return utf8_.empty(); }
  // Grapheme clusters, not code units: "e\u0301" counts 1.
  std::size_t count() const;
  std::vector<BinaryDistinctCharacter> characters() const;

  friend bool operator==(const BinaryDistinctString& a, const BinaryDistinctString& b) { return a.utf8_ == b.utf8_; }
  friend bool operator==(const BinaryDistinctString& a, std::string_view b) { return a.utf8_ == b; }
  // Lexicographic over UTF-16 code units.
  friend std::strong_ordering operator<=>(const BinaryDistinctString& a, const BinaryDistinctString& b);

  friend BinaryDistinctString operator+(const BinaryDistinctString& a, const BinaryDistinctString& b);
  bool hasPrefix(const BinaryDistinctString& prefix) const;
  bool hasSuffix(const BinaryDistinctString& suffix) const;
  // Full Unicode lower-casing.
  BinaryDistinctString lowercased() const;
  // Replaces every occurrence of `target`; the search matches canonically equivalent spellings
  // ("e\u0301" finds "\u00e9"), whole characters only.
  BinaryDistinctString replacingOccurrences(const BinaryDistinctString& target,
                                            const BinaryDistinctString& replacement) const;

  // Character positions: 0 ... count(). Out of range throws std::out_of_range("Index out of bounds").
  std::size_t index(std::size_t position, std::ptrdiff_t offset) const;
  std::optional<std::size_t> index(std::size_t position, std::ptrdiff_t offset, std::size_t limit) const;
  // Characters [lower, upper); slice(lower) runs to the end.
  BinaryDistinctString slice(std::size_t lower, std::size_t upper) const;
  BinaryDistinctString slice(std::size_t lower) const;

  // Hashing and equality for unordered containers, also for lookups by UTF-8 text.
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(const BinaryDistinctString& s) const { return std::hash<std::string_view>{}(s.utf8_); }
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  struct Equal {
    using is_transparent = void;
    bool operator()(const BinaryDistinctString& a, const BinaryDistinctString& b) const { return a.utf8_ == b.utf8_; }
    bool operator()(const BinaryDistinctString& a, std::string_view b) const { return a.utf8_ == b; }
    bool operator()(std::string_view a, const BinaryDistinctString& b) const { return a == b.utf8_; }
  };

 private:
  std::string utf8_;
};

template <class V>
using BinaryDistinctMap = std::unordered_map<BinaryDistinctString, V, BinaryDistinctString::Hash, BinaryDistinctString::Equal>;

// Merges `other` into `self`: keys only in `other` are added; for a key in both, the value becomes
// strategy(existing, incoming), whose exceptions pass to the caller. `other` may be keyed by
// BinaryDistinctString or by UTF-8 text.
template <class V, class OtherMap, class Strategy>
void merge(BinaryDistinctMap<V>& self, const OtherMap& other, Strategy&& strategy) {
  for (const auto& [key, incoming] : other) {
    BinaryDistinctString k(key);
    auto it = self.find(k);
    if (it == self.end()) {
      self.emplace(std::move(k), incoming);
    } else {
      it->second = strategy(it->second, incoming);
    }
  }
}

template <class V, class OtherMap, class Strategy>
BinaryDistinctMap<V> merging(const BinaryDistinctMap<V>& self, const OtherMap& other, Strategy&& strategy) {
  BinaryDistinctMap<V> copy = self;
  merge(copy, other, std::forward<Strategy>(strategy));
  return copy;
}

}  // namespace hub

template <>
struct std::hash<hub::BinaryDistinctString> : hub::BinaryDistinctString::Hash {};
