// Fast reading of half-precision logits: a 65,536-entry table from bit pattern to float (built once,
// thread-safe), and a finiteness test on the bits. Used on every decoding step over the vocabulary.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "platform/ML/MLMultiArray.h"

namespace murmel::detail {

const float* halfToFloatTable();

inline std::uint16_t halfBits(platform::ml::Float16 value) {
  std::uint16_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

inline float toFloat(const float* table, platform::ml::Float16 value) { return table[halfBits(value)]; }

// Whether every value is finite (exponent bits not all ones).
inline bool allFinite(std::span<const platform::ml::Float16> values) {
  const auto* bits = reinterpret_cast<const std::uint16_t*>(values.data());
  std::uint32_t nonFinite = 0;
  for (std::size_t i = 0; i < values.size(); ++i) nonFinite |= static_cast<std::uint32_t>((bits[i] & 0x7C00u) == 0x7C00u);
  return nonFinite == 0;
}

}  // namespace murmel::detail
