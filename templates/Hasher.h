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
  void combine(std::uint64_t word);
  void combineByte(std::uint8_t byte);
  void combineBytes(std::string_view bytes);
  // Text hashed so that canonically equivalent strings feed the same bytes.
  void combineText(std::string_view text);
  std::size_t finalize() const;

 private:
  std::uint64_t state_ = 0x243F6A8885A308D3ull;
};

// Canonical equivalence of platform/Text ("\u00e9" and "e\u0301" are one key), also defined for
// ill-formed UTF-8, which they accept rather than throw on: such text is normalized as if each bad
// sequence were U+FFFD, and keeps its own bytes where that leaves nothing to normalize.
struct TextHash {
  std::size_t operator()(std::string_view text) const;
};
struct TextEqual {
  bool operator()(std::string_view a, std::string_view b) const;
};
// Orders by the scalar values of the NFC forms.
struct TextLess {
  bool operator()(std::string_view a, std::string_view b) const;
};

}  // namespace jinja
