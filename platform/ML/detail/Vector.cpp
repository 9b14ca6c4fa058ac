#include "platform/ML/detail/Vector.h"

#include <cpuid.h>
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "platform/ML/detail/Half.h"

namespace platform::ml::detail {

namespace {

using v8 = float __attribute__((vector_size(32)));

#define LOAD(p) \
  ({                               \
    v8 v_;                         \
    std::memcpy(&v_, (p), sizeof v_); \
    v_;                            \
  })

}  // namespace

namespace baseline {

// Eight halves widened by the bit manipulation of halfBitsToFloat, lane by lane.
#define LOAD_HALVES(p)                                                                              \
  ({                                                                                                \
    using u8_ = std::uint32_t __attribute__((vector_size(32)));                                     \
    using h8_ = std::uint16_t __attribute__((vector_size(16)));                                     \
    h8_ raw_;                                                                                       \
    std::memcpy(&raw_, (p), sizeof raw_);                                                           \
    const u8_ h_ = __builtin_convertvector(raw_, u8_);                                              \
    const v8 scaled_ = reinterpret_cast<v8>((h_ & 0x7fffu) << 13) * 0x1p112f;                       \
    const u8_ special_ = reinterpret_cast<u8_>((h_ & 0x7c00u) == 0x7c00u) & 0x7f800000u;            \
    reinterpret_cast<v8>(reinterpret_cast<u8_>(scaled_) | special_ | ((h_ & 0x8000u) << 16));       \
  })

#define STORE_HALVES(p, v)                                                 \
  ({                                                                       \
    const v8 s_ = (v);                                                     \
    for (int k_ = 0; k_ < 8; ++k_) (p)[k_] = static_cast<Float16>(s_[k_]); \
  })

#include "platform/ML/detail/VectorKernels.inc"
#undef LOAD_HALVES
#undef STORE_HALVES
}  // namespace baseline

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,f16c"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,f16c")
#endif
namespace avx2 {

#define LOAD_HALVES(p) reinterpret_cast<v8>(_mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))))
#define STORE_HALVES(p, v) \
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_cvtps_ph(reinterpret_cast<__m256>(v), _MM_FROUND_TO_NEAREST_INT))

#include "platform/ML/detail/VectorKernels.inc"
#undef LOAD_HALVES
#undef STORE_HALVES
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace {

// F16C from CPUID leaf 1 (not every compiler knows it as a feature name).
bool hasF16c() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_F16C) != 0;
}

// The one place the instruction set is chosen, once per process.
bool useAvx2() {
  static const bool supported = __builtin_cpu_supports("avx2") && hasF16c();
  return supported;
}

}  // namespace

float dot(const float* a, const float* b, std::size_t n) {
  return useAvx2() ? avx2::dot(a, b, n) : baseline::dot(a, b, n);
}

void axpy(float a, const float* x, float* y, std::size_t n) {
  useAvx2() ? avx2::axpy(a, x, y, n) : baseline::axpy(a, x, y, n);
}

void scaledDots(const float* q, const float* rows, std::size_t ld, std::size_t count, std::size_t n, float scale,
                float* out) {
  useAvx2() ? avx2::scaledDots(q, rows, ld, count, n, scale, out) : baseline::scaledDots(q, rows, ld, count, n, scale, out);
}

void weightedSum(const float* weights, const float* rows, std::size_t ld, std::size_t count, std::size_t n, float* out) {
  useAvx2() ? avx2::weightedSum(weights, rows, ld, count, n, out) : baseline::weightedSum(weights, rows, ld, count, n, out);
}

void gemvRows(const float* w, std::size_t begin, std::size_t end, std::size_t cols, const float* x, const float* b,
              float* y) {
  useAvx2() ? avx2::gemvRows(w, begin, end, cols, x, b, y) : baseline::gemvRows(w, begin, end, cols, x, b, y);
}

void gemvRows(const Float16* w, std::size_t begin, std::size_t end, std::size_t cols, const float* x, const float* b,
              float* y) {
  useAvx2() ? avx2::gemvRows(w, begin, end, cols, x, b, y) : baseline::gemvRows(w, begin, end, cols, x, b, y);
}

void floatToHalf(const float* in, Float16* out, std::size_t n) {
  useAvx2() ? avx2::floatToHalf(in, out, n) : baseline::floatToHalf(in, out, n);
}

void halfToFloat(const Float16* in, float* out, std::size_t n) {
  useAvx2() ? avx2::halfToFloat(in, out, n) : baseline::halfToFloat(in, out, n);
}

}  // namespace platform::ml::detail
