#include "Tokenizers/detail/ByteLevelSplit.h"

#include <array>
#include <cstdint>

#include "platform/Text/Unicode.h"

namespace tokenizers::detail {

namespace {

namespace text = platform::text;

enum Class : std::uint8_t { kSpace, kLetter, kNumber, kOther };

constexpr std::array<std::uint8_t, 128> kAscii = [] {
  std::array<std::uint8_t, 128> t{};
  for (int c = 0; c < 128; ++c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      t[c] = kLetter;
    } else if (c >= '0' && c <= '9') {
      t[c] = kNumber;
    } else if (c == ' ' || (c >= 0x09 && c <= 0x0D)) {
      t[c] = kSpace;  // the White_Space members of ASCII; 0x1C-0x1F are not
    } else {
      t[c] = kOther;
    }
  }
  return t;
}();

struct Cursor {
  std::string_view s;
  // Class and length in bytes of the scalar at `at`.
  Class classAt(std::size_t at, std::size_t& length) const {
    unsigned char c = static_cast<unsigned char>(s[at]);
    if (c < 0x80) {
      length = 1;
      return static_cast<Class>(kAscii[c]);
    }
    std::size_t offset = at;
    char32_t scalar = text::nextScalar(s, offset);
    length = offset - at;
    if (text::isWhitespace(scalar)) return kSpace;
    if (text::isLetter(scalar)) return kLetter;
    auto g = text::generalCategory(scalar);
    if (g == text::GeneralCategory::Nd || g == text::GeneralCategory::Nl || g == text::GeneralCategory::No) return kNumber;
    return kOther;
  }
  // The end of the run of scalars of class `k` (or, for kOther, of the complement set) from `at`.
  std::size_t runEnd(std::size_t at, Class k) const {
    while (at < s.size()) {
      std::size_t length;
      if (classAt(at, length) != k) break;
      at += length;
    }
    return at;
  }
};

// The contraction alternatives, in their order: 's 't 're 've 'm 'll 'd.
std::size_t contraction(std::string_view s, std::size_t at) {
  if (s[at] != '\'' || at + 1 >= s.size()) return 0;
  char a = s[at + 1];
  char b = at + 2 < s.size() ? s[at + 2] : '\0';
  if (a == 's' || a == 't' || a == 'm' || a == 'd') return 2;
  if ((a == 'r' && b == 'e') || (a == 'v' && b == 'e') || (a == 'l' && b == 'l')) return 3;
  return 0;
}

}  // namespace

std::vector<std::string_view> byteLevelPieces(std::string_view s) {
  std::vector<std::string_view> pieces;
  forEachByteLevelPiece(s, [&](std::string_view piece) { pieces.push_back(piece); });
  return pieces;
}

void forEachByteLevelPiece(std::string_view s, const std::function<void(std::string_view)>& sink) {
  Cursor cursor{s};
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t end;
    if (std::size_t n = contraction(s, i)) {
      end = i + n;
    } else {
      std::size_t length;
      Class k = cursor.classAt(i, length);
      std::size_t from = i;
      if (s[i] == ' ' && i + 1 < s.size()) {
        std::size_t nextLength;
        Class next = cursor.classAt(i + 1, nextLength);
        if (next != kSpace) {
          k = next;
          from = i + 1;
        }
      }
      if (k != kSpace) {
        end = cursor.runEnd(from, k);
      } else {
        // \s+(?!\S): a run that does not reach the end gives its last scalar back, unless it is
        // a single scalar, which \s+ then takes whole.
        end = cursor.runEnd(i, kSpace);
        if (end < s.size()) {
          std::size_t last = end - 1;
          while ((static_cast<unsigned char>(s[last]) & 0xC0) == 0x80) --last;
          if (last > i) end = last;
        }
      }
    }
    sink(s.substr(i, end - i));
    i = end;
  }
}

}  // namespace tokenizers::detail
