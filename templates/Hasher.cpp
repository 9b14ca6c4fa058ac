#include "templates/Hasher.h"

#include <bit>
#include <cstring>

#include "platform/Text/Unicode.h"

namespace jinja {
namespace text = platform::text;

namespace {

// Eight bytes at a time: "héllo" => false.
bool isAscii(std::string_view text) {
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t high = 0;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    high |= word;
  }
  for (; n > 0; ++p, --n) high |= static_cast<unsigned char>(*p);
  return (high & 0x8080808080808080ull) == 0;
}

// The NFC form of `text`, or `text` itself (no copy) when that is NFC already.
// Ill-formed: "\xff" => "\xff" (U+FFFD is NFC), "\xffe\u0301" => "\ufffd\u00e9".
std::string_view nfcForm(std::string_view text, std::string& storage) {
  constexpr auto nfc = text::NormalizationForm::nfc;
  if (isAscii(text)) return text;
  if (text::isValidUtf8(text)) {
    if (text::isNormalized(text, nfc)) return text;
    storage = text::normalize(text, nfc);
    return storage;
  }
  std::string repaired = text::repairUtf8(text);
  if (text::isNormalized(repaired, nfc)) return text;
  storage = text::normalize(repaired, nfc);
  return storage;
}

}  // namespace

// Each full group of eight bytes as one big-endian word, then the rest (0 when none), then the
// length: "abcdefghi" feeds "abcdefgh", "i", 9.
void Hasher::combineBytes(std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    combine(word);
  }
  std::uint64_t word = 0;
  for (; n > 0; ++p, --n) word = (word << 8) | static_cast<unsigned char>(*p);
  combine(word);
  combine(bytes.size());
}

void Hasher::combineText(std::string_view text) {
  std::string storage;
  combineBytes(nfcForm(text, storage));
}

// Not text::canonicalHash: the value decides the iteration order of keyword maps, which their JSON
// form follows, and it must accept ill-formed text.
std::size_t TextHash::operator()(std::string_view text) const {
  Hasher hasher;
  hasher.combineText(text);
  return hasher.finalize();
}

bool TextEqual::equivalentDiffering(std::string_view a, std::string_view b) {
  if (isAscii(a) && isAscii(b)) return false;
  if (text::isValidUtf8(a) && text::isValidUtf8(b)) return text::canonicallyEquivalent(a, b);
  std::string sa, sb;
  return nfcForm(a, sa) == nfcForm(b, sb);
}

bool TextLess::operator()(std::string_view a, std::string_view b) const {
  if (isAscii(a) && isAscii(b)) return a < b;
  if (text::isValidUtf8(a) && text::isValidUtf8(b)) return text::canonicalCompare(a, b) < 0;
  std::string sa, sb;
  // UTF-8 byte order is scalar-value order.
  return nfcForm(a, sa) < nfcForm(b, sb);
}

}  // namespace jinja
