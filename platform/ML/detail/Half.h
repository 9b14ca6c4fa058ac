// Half-precision conversions that vectorise without F16C: bit manipulation instead of library calls.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "platform/ML/MLMultiArray.h"

namespace platform::ml::detail {

inline float halfBitsToFloat(std::uint16_t h) {
  const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
  std::uint32_t bits = static_cast<std::uint32_t>(h & 0x7fffu) << 13;
  // Rebias the exponent by a multiply (also normalises subnormals); inf and nan keep all-ones.
  float f = std::bit_cast<float>(bits) * 0x1p112f;
  bits = std::bit_cast<std::uint32_t>(f);
  if ((h & 0x7c00u) == 0x7c00u) bits |= 0x7f800000u;
  return std::bit_cast<float>(bits | sign);
}

inline float toFloat(Float16 h) { return halfBitsToFloat(std::bit_cast<std::uint16_t>(h)); }

// Block conversion, vectorised (defined with the other vector primitives).
void halfToFloat(const Float16* in, float* out, std::size_t n);

// Round to nearest even, as the compiler's own conversion does; vectorised likewise.
void floatToHalf(const float* in, Float16* out, std::size_t n);

}  // namespace platform::ml::detail
