#include "Tokenizers/ByteEncoder.h"

#include <utility>

namespace tokenizers {

namespace {

constexpr bool printable(unsigned b) { return (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || (b >= 0xAE && b <= 0xFF); }

// The 256 (byte, scalar) pairs: the 188 printable bytes in increasing order, then the 68 others.
constexpr std::array<std::pair<std::uint8_t, char32_t>, 256> kTable = [] {
  std::array<std::pair<std::uint8_t, char32_t>, 256> t{};
  std::size_t k = 0;
  for (unsigned b = 0; b < 256; ++b)
    if (printable(b)) t[k++] = {static_cast<std::uint8_t>(b), static_cast<char32_t>(b)};
  char32_t next = 0x100;
  for (unsigned b = 0; b < 256; ++b)
    if (!printable(b)) t[k++] = {static_cast<std::uint8_t>(b), next++};
  return t;
}();
static_assert(kTable[188].first == 0x00 && kTable[188].second == 0x100);
static_assert(kTable[255].first == 0xAD && kTable[255].second == 0x143);

constexpr char32_t kLastScalar = 0x143;

constexpr std::array<std::int16_t, kLastScalar + 1> kScalarToByte = [] {
  std::array<std::int16_t, kLastScalar + 1> t{};
  for (auto& v : t) v = -1;
  for (const auto& [byte, scalar] : kTable) t[scalar] = byte;
  return t;
}();

std::string utf8Of(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s.push_back(static_cast<char>(c));
  } else {
    s.push_back(static_cast<char>(0xC0 | (c >> 6)));
    s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
  return s;
}

}  // namespace

const std::array<std::string, 256>& byteEncoder() {
  static const std::array<std::string, 256> table = [] {
    std::array<std::string, 256> t;
    for (const auto& [byte, scalar] : kTable) t[byte] = utf8Of(scalar);
    return t;
  }();
  return table;
}

const std::unordered_map<std::string, std::uint8_t>& byteDecoder() {
  static const std::unordered_map<std::string, std::uint8_t> table = [] {
    std::unordered_map<std::string, std::uint8_t> t;
    const auto& encoder = byteEncoder();
    for (unsigned b = 0; b < 256; ++b) t[encoder[b]] = static_cast<std::uint8_t>(b);
    return t;
  }();
  return table;
}

std::optional<std::uint8_t> byteDecoder(std::string_view character) {
  const auto& table = byteDecoder();
  auto it = table.find(std::string(character));
  if (it == table.end()) return std::nullopt;
  return it->second;
}

namespace detail {

int byteForScalar(char32_t scalar) { return scalar <= kLastScalar ? kScalarToByte[scalar] : -1; }

void appendByteEncoded(std::string& out, std::string_view bytes) {
  // Every table character is one or two UTF-8 bytes.
  static constexpr auto kUtf8 = [] {
    std::array<std::array<char, 2>, 256> t{};
    for (const auto& [byte, scalar] : kTable) {
      if (scalar < 0x80) {
        t[byte] = {static_cast<char>(scalar), 0};
      } else {
        t[byte] = {static_cast<char>(0xC0 | (scalar >> 6)), static_cast<char>(0x80 | (scalar & 0x3F))};
      }
    }
    return t;
  }();
  for (char c : bytes) {
    const auto& u = kUtf8[static_cast<unsigned char>(c)];
    out.push_back(u[0]);
    if (u[1]) out.push_back(u[1]);
  }
}

}  // namespace detail

}  // namespace tokenizers
