#include "templates/Hasher.h"

#include "templates/detail/Unicode.h"

namespace jinja {
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

void Hasher::combineText(std::string_view text) { combineBytes(detail::toNfc(text)); }

std::size_t TextHash::operator()(std::string_view text) const {
  Hasher hasher;
  hasher.combineText(text);
  return hasher.finalize();
}

bool TextEqual::operator()(std::string_view a, std::string_view b) const { return detail::canonicallyEqual(a, b); }

std::size_t Hasher::finalize() const { return static_cast<std::size_t>(mix(state_)); }

}  // namespace jinja
