#include "templates/Hasher.h"

#include "platform/Text/Unicode.h"

namespace jinja {
namespace text = platform::text;

namespace {

std::uint64_t mix(std::uint64_t x) {
  // splitmix64 finaliser
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x;
}

// The NFC form of `text`, or `text` itself (no copy) when that is NFC already.
// Ill-formed: "\xff" => "\xff" (U+FFFD is NFC), "\xffe\u0301" => "\ufffd\u00e9".
bool isAscii(std::string_view text) {
  for (unsigned char c : text)
    if (c >= 0x80) return false;
  return true;
}

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

void Hasher::combine(std::uint64_t word) { state_ = mix(state_ ^ (word + 0x9E3779B97F4A7C15ull)) * 31 + 7; }

void Hasher::combineByte(std::uint8_t byte) { combine(0x100u | byte); }

void Hasher::combineBytes(std::string_view bytes) {
  std::uint64_t word = 0;
  std::size_t n = 0;
  for (unsigned char c : bytes) {
    word = (word << 8) | c;
    if (++n % 8 == 0) {
      combine(word);
      word = 0;
    }
  }
  combine(word);
  combine(bytes.size());
}

void Hasher::combineText(std::string_view text) {
  std::string storage;
  combineBytes(nfcForm(text, storage));
}

std::size_t Hasher::finalize() const { return static_cast<std::size_t>(mix(state_)); }

// Not text::canonicalHash: the value decides the iteration order of keyword maps, which their JSON
// form follows, and it must accept ill-formed text.
std::size_t TextHash::operator()(std::string_view text) const {
  Hasher hasher;
  hasher.combineText(text);
  return hasher.finalize();
}

bool TextEqual::operator()(std::string_view a, std::string_view b) const {
  if (a == b) return true;
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
