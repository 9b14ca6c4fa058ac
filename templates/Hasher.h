// The hasher that syntax-tree and runtime values feed their parts into, in a fixed order, and the
// hash, equality and order of text by canonical equivalence that maps and comparisons use.
// A Hasher is a plain copyable value: a copy continues from the same state (the keyword-map rule
// needs that). Not a cryptographic hash; values are stable within one process only.
//   Hasher h; h.combine(3); h.combineText("x"); std::size_t v = h.finalize();
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace jinja {

class Hasher {
 public:
  void combine(std::uint64_t word) { state_ = mix(state_ ^ (word + 0x9E3779B97F4A7C15ull)) * 31 + 7; }
  void combineByte(std::uint8_t byte) { combine(0x100u | byte); }
  void combineBytes(std::string_view bytes);
  // Text hashed so that canonically equivalent strings feed the same bytes.
  void combineText(std::string_view text);
  std::size_t finalize() const { return static_cast<std::size_t>(mix(state_)); }

 private:
  // splitmix64 finaliser
  static std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return x;
  }
  std::uint64_t state_ = 0x243F6A8885A308D3ull;
};

// Canonical equivalence of platform/Text ("\u00e9" and "e\u0301" are one key), also defined for
// ill-formed UTF-8, which they accept rather than throw on: such text is normalized as if each bad
// sequence were U+FFFD, and keeps its own bytes where that leaves nothing to normalize.
// Both are transparent: a HashedText looks a name up in several maps with one hash computation.
struct HashedText;
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const;
  inline std::size_t operator()(const HashedText& key) const;
};
struct TextEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const {
    // After the common prefix, an ASCII character (or the end) on both sides decides: the two
    // decompositions differ there, as no mark combines into or moves across an ASCII character.
    if (a == b) return true;
    std::size_t i = 0, n = a.size() < b.size() ? a.size() : b.size();
    while (i < n && a[i] == b[i]) ++i;
    bool asciiA = i == a.size() || static_cast<unsigned char>(a[i]) < 0x80;
    bool asciiB = i == b.size() || static_cast<unsigned char>(b[i]) < 0x80;
    return !(asciiA && asciiB) && equivalentDiffering(a, b);
  }
  inline bool operator()(const HashedText& a, std::string_view b) const;
  inline bool operator()(std::string_view a, const HashedText& b) const;

 private:
  static bool equivalentDiffering(std::string_view a, std::string_view b);
};
// A key with its TextHash; `text` must outlive it.
struct HashedText {
  explicit HashedText(std::string_view text) : text(text), hash(TextHash{}(text)) {}
  HashedText(std::string_view text, std::size_t hash) : text(text), hash(hash) {}  // hash: TextHash of text
  std::string_view text;
  std::size_t hash;
};
std::size_t TextHash::operator()(const HashedText& key) const { return key.hash; }
bool TextEqual::operator()(const HashedText& a, std::string_view b) const { return (*this)(a.text, b); }
bool TextEqual::operator()(std::string_view a, const HashedText& b) const { return (*this)(a, b.text); }
// Orders by the scalar values of the NFC forms.
struct TextLess {
  bool operator()(std::string_view a, std::string_view b) const;
};

}  // namespace jinja
